#include "sim/sim_transport.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

namespace varnel {

int SimTransport::Open(const Guid& interfaceClass, const char* devicePath) {
    Close();
    if (interfaceClass != GUID_BOOTLOADER_INTERFACE) {
        return 0;
    }
    std::optional<std::string> wanted;
    if (devicePath != nullptr) {
        wanted = devicePath;
    }
    std::string openedPath;
    DeviceIdentity identity;
    std::shared_ptr<SimConnection> connection = bus_.Open(wanted, openedPath, identity);
    if (!connection) {
        return 0;
    }
    RecordDevicePath(openedPath);
    RecordIdentity(std::move(identity));
    std::lock_guard lock(mutex_);
    connection_ = std::move(connection);
    m_bOpened = 1;
    return 1;
}

void SimTransport::Close() {
    std::shared_ptr<SimConnection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = std::move(connection_);
        m_bOpened = 0;
    }
    if (connection) {
        connection->Close();
    }
}

uint32_t SimTransport::Write(const void* data, uint32_t size) {
    const std::shared_ptr<SimConnection> connection = Connection();
    return connection ? connection->Write(data, size) : 0;
}

uint32_t SimTransport::Read(void* buffer, uint32_t size, bool wait) {
    const std::shared_ptr<SimConnection> connection = Connection();
    if (!connection) {
        return 0;
    }
    const uint32_t timeout = wait ? IoTimeout() : std::min(IoTimeout(), kPollMs);
    return connection->Read(buffer, size, timeout);
}

std::shared_ptr<SimConnection> SimTransport::Connection() {
    std::lock_guard lock(mutex_);
    return connection_;
}

}  // namespace varnel
