#include "images/integrated_image.h"

#include "images/csc_image.h"
#include "images/format_entry.h"
#include "images/image_check.h"
#include "images/image_file.h"
#include "images/image_reader.h"

namespace varnel {

IntegratedImageCheck ParseIntegratedImage(const std::string& path, CscView& view) {
    IntegratedImageCheck check;
    ImageFile file;
    if (!file.Open(path)) {
        view.AppendMainLog(kIntegratedOpenFailedLine);
        return check;
    }
    sImageHeader header;
    if (ReadImageHeader(file, header) != ImageHeaderRead::kOk) {
        view.ReportImageHeaderInvalid();
        view.AppendMainLog("sImageHeader ID is invalid\r\n");
        return check;
    }
    std::string error;
    const auto reject = [&view, &error] {
        view.AppendMainLog(FormatEntry("[IMG] Integrated image rejected: %s \r\n", error.c_str()));
    };
    if (!CheckComponentExtents(header, file.Length(), error)) {
        reject();
        return check;
    }
    // The CSC part is parsed first: a wrong CSC identifier has its own line in the CSC box.
    const ImageComponent& csc = header.Of(kComponentCsc);
    if (csc.Present() && !ParseIntegratedCsc(file, csc, view)) {
        return check;
    }
    if (!CheckIntegratedComponents(file, header, error)) {
        reject();
        return check;
    }
    if (csc.Present() && !CheckCscData(file, csc.DataOffset(), csc.End(), error)) {
        error = "CSC component: " + error;
        reject();
        return check;
    }
    for (int kind = 0; kind < kComponentCount; ++kind) {
        if (header.Of(static_cast<ComponentKind>(kind)).Present()) {
            check.components.push_back(static_cast<ComponentKind>(kind));
        }
    }
    check.ok = true;
    return check;
}

}  // namespace varnel
