// A read-only image file with 64-bit positions and its own read buffer, so that the many
// 2032-byte reads of a RAM download cost a memcpy each rather than a system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

namespace varnel {

class ImageFile {
  public:
    static constexpr size_t kBufferSize = 1 << 20;
    // A read of at least this many bytes that finds nothing buffered goes straight into the
    // caller's memory. Small enough that a caller reading blocks of this size (the checksum)
    // still finds each block in the core's cache when it goes over it.
    static constexpr size_t kDirectReadSize = 64 << 10;

    ImageFile() = default;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens `path` for reading; false when it cannot be opened or its size cannot be read.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return stream_.is_open(); }

    uint64_t Length() const { return length_; }
    uint64_t Position() const { return position_; }
    // Moves to `offset` (at most the length); false when the offset is beyond the end or the
    // stream refuses.
    bool Seek(uint64_t offset);
    // Reads up to `size` bytes; returns how many were read (fewer only at the end of the file or
    // on a read error).
    size_t Read(void* data, size_t size);
    // Reads exactly `size` bytes or reports false (the position then is wherever the read ended).
    bool ReadExact(void* data, size_t size) { return Read(data, size) == size; }

  private:
    // Reads from the file itself; 0 at the end of the file or on a read error.
    size_t ReadStream(char* data, size_t size);
    size_t Refill();

    std::ifstream stream_;
    std::unique_ptr<char[]> buffer_;
    size_t bufferBegin_ = 0;  // next unread byte in buffer_
    size_t bufferEnd_ = 0;    // end of valid bytes in buffer_
    uint64_t position_ = 0;   // logical position of the caller
    uint64_t length_ = 0;
};

// File length of `path`, or false when it cannot be opened.
bool FileLength(const std::string& path, uint64_t& length);

}  // namespace varnel
