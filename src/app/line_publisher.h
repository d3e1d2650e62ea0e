// The way from the bench's outbox to the line's broker. platform_wiring.h makes one where the
// system has an MQTT client.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace varnel {

struct LineBroker {
    std::string strUrl;  // mqtt://[user[:password]@]host[:port], or mqtts:// for TLS
    std::string strCaFile;
    std::string strCertFile;
    std::string strKeyFile;
    std::string strLine = "line";
    std::string strBench;
};

// Publishes on a thread of its own from the moment it is made, connecting again while the broker
// is away; the bench's job never waits for it.
class LinePublisher {
  public:
    virtual ~LinePublisher() = default;
    // Waits up to `limit` for the outbox to empty; how many messages are still queued.
    virtual size_t Drain(std::chrono::milliseconds limit) = 0;
    // Why the broker is not reached now, e.g. "Connection Refused: not authorised."; empty while
    // it is, or before the first try.
    virtual std::string Problem() = 0;
};

}  // namespace varnel
