// SHA-256 of a byte stream, for tracing a shipped image to the exact file: ByteSum32 catches a
// damaged transfer, not a different file with the same sum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace varnel {

class ImageFile;

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
  public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest of everything given; the object is spent afterwards.
    Sha256Digest Finish();

  private:
    void Compress(const uint8_t* block);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_block{};
    size_t m_nBlockUsed = 0;
    uint64_t m_qwTotal = 0;
};

// 64 lowercase hex digits.
std::string Sha256Hex(const Sha256Digest& digest);

struct FileDigests {
    uint32_t dwByteSum = 0;  // ByteSum32
    Sha256Digest sha256{};
};

// Both digests of the whole file from one read through a bounded buffer; the file is positioned
// at 0 afterwards. When the file ends early they cover what was read and `*complete` is false.
FileDigests FileByteSumAndSha256(ImageFile& file, bool* complete = nullptr);

}  // namespace varnel
