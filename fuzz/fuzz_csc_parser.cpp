// The CSC parser on a chosen ".csc" file, then every file of a multi-CSC chosen in turn.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "images/csc_image.h"
#include "images/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace varnel;
    const std::string& path = fuzz::WriteInput(data, size);
    fuzz::CheckingCscView view;
    {
        ImageFile file;
        fuzz::Require(file.Open(path));
        ParseCscFile(file, view);
    }
    fuzz::SelectEveryCscFile(view, {false, "", true, path});
    return 0;
}
