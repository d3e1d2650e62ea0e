// The Telvik header and its parts, read as a two-part Telvik image and as a Contents image.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "images/bytesum.h"
#include "images/image_file.h"
#include "images/image_reader.h"

namespace {

void CheckParts(varnel::ImageFile& file, varnel::TelvikParts parts) {
    using namespace varnel;
    TelvikLayout layout;
    std::string error;
    if (!ReadTelvikLayout(file, 0, file.Length(), parts, layout, error)) {
        fuzz::Require(!error.empty());
        return;
    }
    bool complete = false;
    if (layout.hasFirst) {
        RegionByteSum(file, layout.firstDataOffset, layout.firstDataLength, &complete);
        fuzz::Require(complete);
    }
    if (parts == TelvikParts::kTwo) {
        fuzz::Require(layout.secondDataOffset + layout.secondDataLength <= file.Length());
        RegionByteSum(file, layout.secondDataOffset, layout.secondDataLength, &complete);
        fuzz::Require(complete);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    varnel::ImageFile file;
    varnel::fuzz::Require(file.Open(varnel::fuzz::WriteInput(data, size)));
    CheckParts(file, varnel::TelvikParts::kTwo);
    CheckParts(file, varnel::TelvikParts::kFirstOnly);
    return 0;
}
