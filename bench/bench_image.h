// What the download benchmarks share: a temporary image of pseudo-random bytes with the digest
// a handset must record for it, and a status sink that drops every report.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/status.h"
#include "sim/virtual_handset.h"

namespace varnel {

class DiscardingSink final : public StatusSink {
  public:
    void SendDownloadStatus(uint32_t, uint32_t) override {}
};

class BenchImage {
  public:
    // `size` bytes in the temporary folder, named after `tag`; removed with the object.
    BenchImage(uint64_t size, const std::string& tag)
        : path_((std::filesystem::temp_directory_path() / ("varnel-" + tag + "-image")).string()) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        std::vector<uint8_t> block(1 << 20);
        uint64_t state = 0x2545F4914F6CDD1Dull;
        for (uint64_t left = size; left > 0;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
            for (size_t i = 0; i < count; ++i) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                block[i] = static_cast<uint8_t>(state);
            }
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(count));
            digest_.Update(block.data(), count);
            left -= count;
        }
        ok_ = static_cast<bool>(out);
    }
    ~BenchImage() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    BenchImage(const BenchImage&) = delete;
    BenchImage& operator=(const BenchImage&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Path() const { return path_; }
    uint64_t Size() const { return digest_.Length(); }
    uint64_t Digest() const { return digest_.Value(); }

  private:
    std::string path_;
    StreamDigest digest_;
    bool ok_ = false;
};

}  // namespace varnel
