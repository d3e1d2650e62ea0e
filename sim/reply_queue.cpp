#include "sim/reply_queue.h"

#include <algorithm>
#include <cstring>

namespace varnel {

void ReplyQueue::Push(const void* data, size_t size, uint64_t delayMicros) {
    if (size == 0) {
        return;
    }
    TimePoint readyAt = origin_ + std::chrono::microseconds(delayMicros);
    if (pieceHead_ < pieces_.size()) {
        readyAt = std::max(readyAt, pieces_.back().readyAt);
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), bytes, bytes + size);
    if (pieceHead_ < pieces_.size() && pieces_.back().readyAt == readyAt) {
        pieces_.back().end = bytes_.size();
    } else {
        pieces_.push_back({bytes_.size(), readyAt});
    }
}

size_t ReplyQueue::ReadyBytes(TimePoint now) const {
    size_t end = head_;
    for (size_t piece = pieceHead_; piece < pieces_.size() && pieces_[piece].readyAt <= now;
         ++piece) {
        end = pieces_[piece].end;
    }
    return end - head_;
}

size_t ReplyQueue::Take(void* out, size_t size, TimePoint now) {
    const size_t count = std::min(size, ReadyBytes(now));
    if (count == 0) {
        return 0;
    }
    std::memcpy(out, bytes_.data() + head_, count);
    head_ += count;
    while (pieceHead_ < pieces_.size() && pieces_[pieceHead_].end <= head_) {
        ++pieceHead_;
    }
    if (Empty()) {
        Clear();
    }
    return count;
}

void ReplyQueue::Clear() {
    bytes_.clear();
    pieces_.clear();
    head_ = 0;
    pieceHead_ = 0;
}

}  // namespace varnel
