#include "images/integrated_image.h"

#include <algorithm>

#include "images/csc_image.h"
#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/image_reader.h"

namespace varnel {

namespace {

struct HiddenPair {
    ComponentKind kind;
    int button;
    int pathBox;
};

// Both Telvik components stand for the one Telvik button; Contents keeps its controls.
constexpr HiddenPair kHiddenPairs[] = {
    {kComponentEboot, kIdcEbootButton, kIdcEbootPath},
    {kComponentPda, kIdcPdaButton, kIdcPdaPath},
    {kComponentCsc, kIdcCscButton, kIdcCscPath},
    {kComponentPhone, kIdcPhoneButton, kIdcPhonePath},
    {kComponentTelvik, kIdcTelvikButton, kIdcTelvikPath},
    {kComponentSingleTelvik, kIdcTelvikButton, kIdcTelvikPath},
};

}  // namespace

IntegratedImageCheck ParseIntegratedImage(const std::string& path, CscView& view) {
    IntegratedImageCheck check;
    ImageFile file;
    if (!file.Open(path)) {
        view.AppendMainLog("cIMGFile.Open Failed\r\n");
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
    for (const HiddenPair& pair : kHiddenPairs) {
        std::vector<int>& hidden = check.hiddenControls;
        if (header.Of(pair.kind).Present() &&
            std::find(hidden.begin(), hidden.end(), pair.button) == hidden.end()) {
            hidden.push_back(pair.button);
            hidden.push_back(pair.pathBox);
        }
    }
    check.ok = true;
    return check;
}

}  // namespace varnel
