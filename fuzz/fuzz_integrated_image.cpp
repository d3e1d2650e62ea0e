// The integrated-image check (trailer, component extents, CSC part) and the walk over its
// components as the worker does it, nested PDA and Telvik layouts included.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "images/bytesum.h"
#include "images/image_file.h"
#include "images/image_reader.h"
#include "images/integrated_image.h"

namespace {

void WalkComponents(const std::string& path) {
    using namespace varnel;
    ImageFile file;
    fuzz::Require(file.Open(path));
    sImageHeader header;
    if (ReadImageHeader(file, header) != ImageHeaderRead::kOk) {
        return;
    }
    std::string error;
    for (int kind = 0; kind < kComponentCount; ++kind) {
        const auto componentKind = static_cast<ComponentKind>(kind);
        if (LocateComponent(file, header, componentKind) != ComponentCheck::kOk) {
            continue;
        }
        const ImageComponent& component = header.Of(componentKind);
        fuzz::Require(component.End() <= file.Length());
        bool complete = false;
        RegionByteSum(file, component.DataOffset(), component.dwSize, &complete);
        fuzz::Require(complete);
        PdaLayout pda;
        TelvikLayout telvik;
        switch (componentKind) {
            case kComponentPda:
                if (ReadPdaLayout(file, component.DataOffset(), component.End(), pda, error)) {
                    fuzz::Require(pda.dataOffset + pda.header.Size <= component.End());
                }
                break;
            case kComponentTelvik:
            case kComponentContents:
                if (ReadTelvikLayout(file, component.DataOffset(), component.End(),
                                     componentKind == kComponentTelvik ? TelvikParts::kTwo
                                                                       : TelvikParts::kFirstOnly,
                                     telvik, error)) {
                    fuzz::Require(telvik.firstDataOffset + telvik.firstDataLength <=
                                  component.End());
                    fuzz::Require(telvik.secondDataOffset + telvik.secondDataLength <=
                                  component.End());
                }
                break;
            default:
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace varnel;
    const std::string& path = fuzz::WriteInput(data, size);
    fuzz::CheckingCscView view;
    const IntegratedImageCheck check = ParseIntegratedImage(path, view);
    fuzz::Require(check.components.size() <= static_cast<size_t>(kComponentCount));
    if (check.ok) {
        fuzz::SelectEveryCscFile(view, {true, path, false, ""});
    }
    WalkComponents(path);
    return 0;
}
