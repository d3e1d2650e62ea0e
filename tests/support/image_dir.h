// A temporary folder of images made by the image builder, removed with the object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/image_builder.h"

namespace varnel {

class ImageDir {
  public:
    ImageDir();
    ~ImageDir();
    ImageDir(const ImageDir&) = delete;
    ImageDir& operator=(const ImageDir&) = delete;

    const std::string& Path() const { return path_; }
    // Builds `spec` as `fileName` in the folder and returns its path (a test failure when the
    // builder refuses).
    std::string Build(const std::string& fileName, const ImageSpec& spec,
                      ImageManifest* manifest = nullptr);

  private:
    std::string path_;
};

// `length` bytes of a file from `offset` (fewer when the file ends first).
std::vector<uint8_t> ReadFileRegion(const std::string& path, uint64_t offset, uint64_t length);
// The bytes of a named region of a built image.
std::vector<uint8_t> RegionBytes(const std::string& path, const ImageManifest& manifest,
                                 const std::string& region);

}  // namespace varnel
