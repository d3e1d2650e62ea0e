// One virtual handset plugged into its own simulated bus, and a transport to reach it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// A simulated-bus transport that keeps a copy of every write, so tests can compare the bytes on
// the wire with literal bytes instead of decoding them with the code under test.
class TapTransport final : public CUsbInterface {
  public:
    explicit TapTransport(SimBus& bus) : inner_(bus) {}

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    void Close() override;
    uint32_t Write(const void* data, uint32_t size) override;
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;

    std::vector<std::vector<uint8_t>> Writes() const;
    // The writes of 2048 bytes whose first byte pair is `code` (little-endian, below 0x10000).
    std::vector<std::vector<uint8_t>> PacketsOf(uint32_t code) const;

  private:
    SimTransport inner_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> writes_;
};

// Short reply time-outs for the life of the object, so tests of silent devices take
// milliseconds; the previous values come back afterwards.
class ScopedProtocolTimeouts {
  public:
    explicit ScopedProtocolTimeouts(uint32_t milliseconds)
        : ScopedProtocolTimeouts(
              ProtocolTimeouts{milliseconds, milliseconds, milliseconds, milliseconds}) {}
    explicit ScopedProtocolTimeouts(const ProtocolTimeouts& timeouts);
    ~ScopedProtocolTimeouts();
    ScopedProtocolTimeouts(const ScopedProtocolTimeouts&) = delete;
    ScopedProtocolTimeouts& operator=(const ScopedProtocolTimeouts&) = delete;

  private:
    ProtocolTimeouts saved_;
};

}  // namespace varnel
