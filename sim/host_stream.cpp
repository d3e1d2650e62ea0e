#include "sim/host_stream.h"

#include <cstring>

#include "engine/protocol.h"

namespace varnel {

HostWriteResult HostStream::Feed(const uint8_t* data, size_t size, VirtualHandset& handset,
                                 ReplyQueue& replies) {
    bytes_.insert(bytes_.end(), data, data + size);
    HostWriteResult result;
    for (;;) {
        const size_t available = bytes_.size() - head_;
        const uint8_t* frame = bytes_.data() + head_;
        size_t frameSize = 0;
        if (available >= kReplySize && std::memcmp(frame, kHandshakeRequest, kReplySize) == 0) {
            frameSize = kReplySize;
        } else if (available >= kPacketSize) {
            frameSize = kPacketSize;
        } else {
            break;
        }
        result = handset.HandleHostWrite(frame, frameSize, replies);
        head_ += frameSize;
        if (result.exit != HandsetExit::kStay) {
            Clear();
            return result;
        }
    }
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
    return result;
}

void HostStream::Clear() {
    bytes_.clear();
    head_ = 0;
}

}  // namespace varnel
