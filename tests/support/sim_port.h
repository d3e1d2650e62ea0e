// One virtual handset plugged into its own simulated bus, and a transport to reach it.
#pragma once

#include <memory>
#include <string>

#include "engine/clock.h"
#include "engine/protocol.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "sim/virtual_handset.h"

namespace varnel {

struct SimPort {
    explicit SimPort(HandsetConfig config = {});
    // Opens the transport on the handset; false when that fails.
    bool Open();

    FakeClock clock;
    SimBus bus{clock};
    std::shared_ptr<VirtualHandset> handset;
    std::string path;
    SimTransport transport{bus};
};

// Short reply time-outs for the life of the object, so tests of silent devices take
// milliseconds; the previous values come back afterwards.
class ScopedProtocolTimeouts {
  public:
    explicit ScopedProtocolTimeouts(uint32_t milliseconds)
        : ScopedProtocolTimeouts(ProtocolTimeouts{milliseconds, milliseconds, milliseconds}) {}
    explicit ScopedProtocolTimeouts(const ProtocolTimeouts& timeouts);
    ~ScopedProtocolTimeouts();
    ScopedProtocolTimeouts(const ScopedProtocolTimeouts&) = delete;
    ScopedProtocolTimeouts& operator=(const ScopedProtocolTimeouts&) = delete;

  private:
    ProtocolTimeouts saved_;
};

}  // namespace varnel
