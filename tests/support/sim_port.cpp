#include "support/sim_port.h"

namespace varnel {

SimPort::SimPort(HandsetConfig config)
    : handset(std::make_shared<VirtualHandset>(std::move(config))), path(bus.Plug(handset)) {}

bool SimPort::Open() {
    return transport.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()) == 1;
}

ScopedProtocolTimeouts::ScopedProtocolTimeouts(const ProtocolTimeouts& timeouts)
    : saved_(GetProtocolTimeouts()) {
    SetProtocolTimeouts(timeouts);
}

ScopedProtocolTimeouts::~ScopedProtocolTimeouts() {
    SetProtocolTimeouts(saved_);
}

}  // namespace varnel
