// An outbox that lives as long as the program: what the broker has not taken when the program
// ends is lost. For a bench without a history, and for tests. It holds at most `capacity`
// messages, so that a broker away for days cannot use up the bench's memory: beyond that the
// oldest are dropped, and counted.
#pragma once

#include <deque>
#include <mutex>

#include "app/telemetry_outbox.h"

namespace varnel {

class MemoryOutbox : public TelemetryOutbox {
  public:
    static constexpr size_t kDefaultCapacity = 100'000;

    explicit MemoryOutbox(size_t capacity = kDefaultCapacity) : m_nCapacity(capacity) {}

    void Enqueue(const std::string& topic, const std::string& payload, bool retain) override;
    std::vector<OutboxMessage> Pending(size_t limit) override;
    void MarkPublished(int64_t id) override;
    // How many messages were dropped unpublished because the outbox was full.
    size_t Dropped();

  private:
    const size_t m_nCapacity;
    std::mutex m_mutex;
    size_t m_nDropped = 0;
    std::deque<OutboxMessage> m_messages;  // oldest first
    int64_t m_nNextId = 1;
};

}  // namespace varnel
