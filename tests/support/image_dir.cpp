#include "support/image_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>

namespace varnel {

ImageDir::ImageDir() {
    static const unsigned tag = std::random_device{}();
    static std::atomic<unsigned> counter{0};
    auto path = std::filesystem::temp_directory_path() /
                ("varnel-images-" + std::to_string(tag) + "-" + std::to_string(counter++));
#ifdef _WIN32
    // The window shows a chosen file's path in lower case; the same folder in lower case lets
    // the tests compare paths as given (Windows names files without regard to case).
    std::string lowerCase = path.string();
    std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    path = lowerCase;
#endif
    std::filesystem::create_directories(path);
    path_ = path.string();
}

ImageDir::~ImageDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ImageDir::Build(const std::string& fileName, const ImageSpec& spec,
                            ImageManifest* manifest) {
    const std::string path = (std::filesystem::path(path_) / fileName).string();
    ImageManifest built;
    std::string error;
    EXPECT_TRUE(BuildImage(path, spec, built, error)) << fileName << ": " << error;
    if (manifest != nullptr) {
        *manifest = built;
    }
    return path;
}

std::vector<uint8_t> ReadFileRegion(const std::string& path, uint64_t offset, uint64_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<uint8_t> bytes(length);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

std::vector<uint8_t> RegionBytes(const std::string& path, const ImageManifest& manifest,
                                 const std::string& region) {
    const ImageRegion* found = manifest.Find(region);
    EXPECT_NE(found, nullptr) << "no region " << region;
    return found == nullptr ? std::vector<uint8_t>{}
                            : ReadFileRegion(path, found->offset, found->length);
}

}  // namespace varnel
