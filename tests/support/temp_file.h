// Small files for tests: a temporary file with given bytes, removed when the object goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnel {

// `size` bytes of a fixed pseudo-random pattern; different seeds give different bytes.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed = 1);

class TempFile {
  public:
    explicit TempFile(const std::vector<uint8_t>& bytes);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace varnel
