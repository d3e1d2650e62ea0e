#include "images/integrated_image.h"

#include "images/csc_image.h"
#include "images/format_entry.h"
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
    if (!CheckComponentExtents(header, file.Length(), error)) {
        view.AppendMainLog(FormatEntry("[IMG] Integrated image rejected: %s \r\n", error.c_str()));
        return check;
    }
    if (header.Of(kComponentCsc).Present() &&
        !ParseIntegratedCsc(file, header.Of(kComponentCsc), view)) {
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
