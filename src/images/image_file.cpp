#include "images/image_file.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "images/utf8_path.h"

namespace varnel {

bool ImageFile::Open(const std::string& path) {
    Close();
    // Unbuffered: this class keeps its own buffer and large reads go straight to the caller.
    stream_.rdbuf()->pubsetbuf(nullptr, 0);
    stream_.open(Utf8Path(path), std::ios::binary | std::ios::in);
    if (!stream_.is_open()) {
        return false;
    }
    const auto end = stream_.rdbuf()->pubseekoff(0, std::ios::end, std::ios::in);
    const auto begin = stream_.rdbuf()->pubseekpos(0, std::ios::in);
    if (end == std::streampos(std::streamoff(-1)) || begin != std::streampos(0)) {
        Close();
        return false;
    }
    length_ = static_cast<uint64_t>(std::streamoff(end));
    if (!buffer_) {
        buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    }
    return true;
}

void ImageFile::Close() {
    if (stream_.is_open()) {
        stream_.close();
    }
    stream_.clear();
    bufferBegin_ = bufferEnd_ = 0;
    position_ = length_ = 0;
}

bool ImageFile::Seek(uint64_t offset) {
    if (!IsOpen() || offset > length_) {
        return false;
    }
    // A seek inside the bytes still buffered only moves the buffer cursor.
    const uint64_t bufferStart = position_ - bufferBegin_;
    if (offset >= bufferStart && offset <= bufferStart + bufferEnd_) {
        bufferBegin_ = static_cast<size_t>(offset - bufferStart);
        position_ = offset;
        return true;
    }
    if (offset > static_cast<uint64_t>(std::numeric_limits<std::streamoff>::max())) {
        return false;
    }
    stream_.clear();
    const auto reached = stream_.rdbuf()->pubseekpos(
        std::streampos(static_cast<std::streamoff>(offset)), std::ios::in);
    if (reached != std::streampos(static_cast<std::streamoff>(offset))) {
        return false;
    }
    bufferBegin_ = bufferEnd_ = 0;
    position_ = offset;
    return true;
}

size_t ImageFile::ReadStream(char* data, size_t size) {
    // The standard library reports a failed read (a directory, an I/O error) by throwing from
    // the stream buffer; here it is a short read like the end of the file.
    try {
        const auto got = stream_.rdbuf()->sgetn(data, static_cast<std::streamsize>(size));
        return got > 0 ? static_cast<size_t>(got) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

size_t ImageFile::Refill() {
    bufferBegin_ = 0;
    bufferEnd_ = ReadStream(buffer_.get(), kBufferSize);
    return bufferEnd_;
}

size_t ImageFile::Read(void* data, size_t size) {
    if (!IsOpen()) {
        return 0;
    }
    auto* out = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        const size_t buffered = bufferEnd_ - bufferBegin_;
        if (buffered > 0) {
            const size_t take = std::min(buffered, size - done);
            std::memcpy(out + done, buffer_.get() + bufferBegin_, take);
            bufferBegin_ += take;
            done += take;
            position_ += take;
            continue;
        }
        const size_t wanted = size - done;
        if (wanted >= kDirectReadSize) {
            const size_t got = ReadStream(out + done, wanted);
            if (got == 0) {
                break;
            }
            done += got;
            bufferBegin_ = bufferEnd_ = 0;
            position_ += got;
            continue;
        }
        if (Refill() == 0) {
            break;
        }
    }
    return done;
}

bool FileLength(const std::string& path, uint64_t& length) {
    ImageFile file;
    if (!file.Open(path)) {
        return false;
    }
    length = file.Length();
    return true;
}

}  // namespace varnel
