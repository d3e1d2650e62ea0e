// An outbox that lives as long as the program: what the broker has not taken when the program
// ends is lost. For a bench without a history, and for tests.
#pragma once

#include <deque>
#include <mutex>

#include "app/telemetry_outbox.h"

namespace varnel {

class MemoryOutbox : public TelemetryOutbox {
  public:
    void Enqueue(const std::string& topic, const std::string& payload, bool retain) override;
    std::vector<OutboxMessage> Pending(size_t limit) override;
    void MarkPublished(int64_t id) override;

  private:
    std::mutex m_mutex;
    std::deque<OutboxMessage> m_messages;  // oldest first
    int64_t m_nNextId = 1;
};

}  // namespace varnel
