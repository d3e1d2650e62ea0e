#include "support/sim_port.h"

namespace varnel {

SimPort::SimPort(HandsetConfig config)
    : handset(std::make_shared<VirtualHandset>(std::move(config))), path(bus.Plug(handset)) {}

bool SimPort::Open() {
    return transport.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()) == 1;
}

int TapTransport::Open(const Guid& interfaceClass, const char* devicePath) {
    const int opened = inner_.Open(interfaceClass, devicePath);
    if (opened != 0 && devicePath == nullptr) {
        RecordDevicePath(inner_.DevicePath());
    }
    m_bOpened = opened;
    return opened;
}

void TapTransport::Close() {
    inner_.Close();
    m_bOpened = 0;
}

uint32_t TapTransport::Write(const void* data, uint32_t size) {
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        std::lock_guard lock(mutex_);
        writes_.emplace_back(bytes, bytes + size);
    }
    inner_.SetIoTimeout(IoTimeout());
    return inner_.Write(data, size);
}

uint32_t TapTransport::Read(void* buffer, uint32_t size, bool wait) {
    inner_.SetIoTimeout(IoTimeout());
    return inner_.Read(buffer, size, wait);
}

std::vector<std::vector<uint8_t>> TapTransport::Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::vector<std::vector<uint8_t>> TapTransport::PacketsOf(uint32_t code) const {
    std::vector<std::vector<uint8_t>> packets;
    for (const auto& write : Writes()) {
        if (write.size() == kPacketSize && write[0] == (code & 0xFF) &&
            write[1] == (code >> 8 & 0xFF) && write[2] == 0 && write[3] == 0) {
            packets.push_back(write);
        }
    }
    return packets;
}

ScopedProtocolTimeouts::ScopedProtocolTimeouts(const ProtocolTimeouts& timeouts)
    : saved_(GetProtocolTimeouts()) {
    SetProtocolTimeouts(timeouts);
}

ScopedProtocolTimeouts::~ScopedProtocolTimeouts() {
    SetProtocolTimeouts(saved_);
}

}  // namespace varnel
