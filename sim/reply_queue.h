// The bytes a handset has answered and the host has not read yet, each run readable from its own
// moment, so a simulated round trip or a slow flash write can hold a reply back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnel {

class ReplyQueue {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Replies pushed from now on are timed from `origin` (the moment of the host's write).
    void SetOrigin(TimePoint origin) { origin_ = origin; }
    // Queues `size` bytes, readable `delayMicros` after the origin but never before the bytes
    // queued ahead of them.
    void Push(const void* data, size_t size, uint64_t delayMicros = 0);

    bool Empty() const { return head_ == bytes_.size(); }
    size_t Size() const { return bytes_.size() - head_; }
    // When the first unread byte becomes readable; only meaningful when not empty.
    TimePoint NextReadyAt() const { return pieces_[pieceHead_].readyAt; }
    // Bytes readable at `now`.
    size_t ReadyBytes(TimePoint now) const;
    // Moves at most `size` bytes readable at `now` to `out`; the count moved.
    size_t Take(void* out, size_t size, TimePoint now);
    void Clear();

  private:
    struct Piece {
        size_t end;  // one past the piece's last byte in bytes_
        TimePoint readyAt;
    };

    // Storage is reused from write to write, so a steady exchange allocates nothing.
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
    std::vector<Piece> pieces_;
    size_t pieceHead_ = 0;
    TimePoint origin_{};
};

}  // namespace varnel
