// The host's writes to a handset as one byte stream (a tty, or bulk transfers split anyhow)
// cut back into the whole writes the handset expects: a 4-byte "ATUD" at the start of a frame is
// a handshake (no command code reads "ATUD"), anything else a 2048-byte command packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/reply_queue.h"
#include "sim/virtual_handset.h"

namespace varnel {

class HostStream {
  public:
    // Hands every whole frame to `handset`, its answers going to `replies`. Stops at the write
    // after which the handset leaves, dropping the bytes behind it, and returns that write's
    // result; kStay when all complete frames were handled.
    HostWriteResult Feed(const uint8_t* data, size_t size, VirtualHandset& handset,
                         ReplyQueue& replies);
    void Clear();
    // Bytes of an unfinished frame.
    size_t Pending() const { return bytes_.size() - head_; }

  private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
};

}  // namespace varnel
