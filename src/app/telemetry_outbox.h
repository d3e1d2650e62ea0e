// Messages for the line's broker, kept in order until the broker has taken them, so that nothing
// is lost while it is away and the download never waits for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnel {

struct OutboxMessage {
    int64_t nId = 0;  // increasing: the order of publishing
    std::string strTopic;
    std::string strPayload;
    bool bRetain = false;
};

// Called from the program's thread (Enqueue) and the publisher's (Pending, MarkPublished): an
// implementation keeps itself consistent across the two.
class TelemetryOutbox {
  public:
    virtual ~TelemetryOutbox() = default;
    // Keeps a message to publish; never waits for the broker.
    virtual void Enqueue(const std::string& topic, const std::string& payload, bool retain) = 0;
    // Up to `limit` of the oldest messages not yet marked published, oldest first.
    virtual std::vector<OutboxMessage> Pending(size_t limit) = 0;
    // The broker has acknowledged the message: it is not offered again.
    virtual void MarkPublished(int64_t id) = 0;
};

}  // namespace varnel
