// Images made by the image builder for the parser tests: built into a temporary file, read back
// as bytes (so a test can damage them) and written again as a TempFile.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "images/image_layouts.h"
#include "sim/image_builder.h"
#include "support/temp_file.h"

namespace varnel::testing {

inline std::vector<uint8_t> ReadAllBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

// Builds `spec` and returns the file's bytes; the manifest goes to `manifest` when given.
inline std::vector<uint8_t> BuildBytes(const ImageSpec& spec, ImageManifest* manifest = nullptr) {
    const TempFile output({});
    ImageManifest built;
    std::string error;
    EXPECT_TRUE(BuildImage(output.Path(), spec, built, error)) << error;
    std::vector<uint8_t> bytes = ReadAllBytes(output.Path());
    EXPECT_EQ(bytes.size(), built.fileSize);
    if (manifest != nullptr) {
        *manifest = built;
    }
    return bytes;
}

// Plain byte-by-byte ByteSum32, independent of the optimised one.
inline uint32_t ReferenceSum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) {
        sum += data[i];
    }
    return sum;
}

inline void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    ASSERT_LE(offset + 4, bytes.size());
    StoreLe32(bytes.data() + offset, value);
}

inline ImageSpec CscSpec(const CscImageSpec& csc) {
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    spec.csc = csc;
    return spec;
}

inline CscFileSpec CscFile(const std::string& name, const std::string& version,
                           uint32_t blockCount = 0) {
    CscFileSpec file;
    file.name = name;
    file.version = version;
    file.blockCount = blockCount;
    return file;
}

}  // namespace varnel::testing
