// The PDA header walk: the PDA header, its data and the optional LANGPACK, as a ".nb0" file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "images/bytesum.h"
#include "images/image_file.h"
#include "images/image_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace varnel;
    ImageFile file;
    fuzz::Require(file.Open(fuzz::WriteInput(data, size)));
    PdaLayout layout;
    std::string error;
    if (!ReadPdaLayout(file, 0, file.Length(), layout, error)) {
        fuzz::Require(!error.empty());
        return 0;
    }
    // What the walk accepted lies inside the file, so the worker can sum it to the end.
    bool complete = false;
    RegionByteSum(file, layout.dataOffset, layout.header.Size, &complete);
    fuzz::Require(complete);
    if (layout.hasLangpack) {
        fuzz::Require(layout.langpack.MarksValid());
        RegionByteSum(file, layout.langpackDataOffset, layout.langpack.Size, &complete);
        fuzz::Require(complete);
    }
    return 0;
}
