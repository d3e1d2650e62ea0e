// Prints the ByteSum32 of a file on its first line, so that any tool can time the checksum and
// check its answer; with --sha256, the file's SHA-256 on a second line.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "app/program_arguments.h"
#include "app/version.h"
#include "images/bytesum.h"
#include "images/image_file.h"
#include "images/sha256.h"

namespace {

constexpr char kProgram[] = "varnel-bytesum";

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return varnel::kExitBadArguments;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    bool sha256 = false;
    CLI::App app(
        "Prints the ByteSum32 of FILE (the sum of its bytes, 32 bits, wrapping) as "
        "0x%08X.",
        kProgram);
    app.add_option("FILE", path, "the file to sum")->required();
    app.add_flag("--sha256", sha256, "also print the file's SHA-256 on a second line");
    app.footer("Exit status: 0 printed; 2 bad arguments or FILE cannot be read to its end.");
    app.set_version_flag("--version", std::string(kProgram) + " " + varnel::kVersionText);
    if (const std::optional<int> status =
            varnel::ParseProgramArguments(app, argc, argv, kProgram)) {
        return *status;
    }
    varnel::ImageFile file;
    errno = 0;
    if (!file.Open(path)) {
        return Fail("cannot open '" + path + "'" +
                    (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
    }
    bool complete = false;
    uint32_t sum = 0;
    std::string digest;
    if (sha256) {
        const varnel::FileDigests digests = varnel::FileByteSumAndSha256(file, &complete);
        sum = digests.dwByteSum;
        digest = varnel::Sha256Hex(digests.sha256);
    } else {
        sum = varnel::FileByteSum(file, &complete);
    }
    if (!complete) {
        return Fail("'" + path + "' could not be read to its end");
    }
    std::printf("0x%08X\n", sum);
    if (sha256) {
        std::printf("%s\n", digest.c_str());
    }
    return 0;
}
