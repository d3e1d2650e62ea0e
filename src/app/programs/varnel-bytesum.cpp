// Prints the ByteSum32 of a file on its first line, so that any tool can time the checksum and
// check its answer. Exit status 2 when the file cannot be read to its end.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/version.h"
#include "images/bytesum.h"
#include "images/image_file.h"

namespace {

constexpr char kUsage[] =
    "usage: varnel-bytesum FILE\n"
    "Prints the ByteSum32 of FILE (the sum of its bytes, 32 bits, wrapping) as 0x%08X.\n"
    "Exit status 2 when FILE cannot be read to its end.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("varnel-bytesum %s\n", varnel::kVersionText);
        return 0;
    }
    const char* path = argv[1];
    varnel::ImageFile file;
    errno = 0;
    if (!file.Open(path)) {
        std::fprintf(stderr, "varnel-bytesum: cannot open '%s'%s%s\n", path, errno ? ": " : "",
                     errno ? std::strerror(errno) : "");
        return 2;
    }
    bool complete = false;
    const uint32_t sum = varnel::FileByteSum(file, &complete);
    if (!complete) {
        std::fprintf(stderr, "varnel-bytesum: '%s' could not be read to its end\n", path);
        return 2;
    }
    std::printf("0x%08X\n", sum);
    return 0;
}
