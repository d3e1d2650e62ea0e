// A transport that reaches the simulated bus in-process: the fast way for unit tests and
// benchmarks to talk to virtual handsets through the one transport interface.
#pragma once

#include <memory>
#include <mutex>

#include "sim/sim_bus.h"
#include "transport/usb_interface.h"

namespace varnel {

class SimTransport final : public CUsbInterface {
  public:
    // Longest wait of a Read with the wait flag clear.
    static constexpr uint32_t kPollMs = 10;

    explicit SimTransport(SimBus& bus) : bus_(bus) {}

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    void Close() override;
    uint32_t Write(const void* data, uint32_t size) override;
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;

  private:
    std::shared_ptr<SimConnection> Connection();

    SimBus& bus_;
    // Guards the pointer only, so that Close from another thread can wake a blocked Read.
    std::mutex mutex_;
    std::shared_ptr<SimConnection> connection_;
};

}  // namespace varnel
