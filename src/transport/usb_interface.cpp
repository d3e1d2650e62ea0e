#include "transport/usb_interface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace varnel {

std::string GuidText(const Guid& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.data1), guid.data2, guid.data3, guid.data4[0],
                  guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                  guid.data4[6], guid.data4[7]);
    return text;
}

void CUsbInterface::RecordDevicePath(std::string_view path) {
    if (path == std::string_view(m_szDevicePath)) {
        return;
    }
    const size_t length = std::min(path.size(), kDevicePathSize - 1);
    std::memcpy(m_szDevicePath, path.data(), length);
    m_szDevicePath[length] = '\0';
}

void CUsbInterface::RecordIdentity(DeviceIdentity identity) {
    std::lock_guard lock(m_IdentityMutex);
    m_Identity = std::move(identity);
}

DeviceIdentity CUsbInterface::Identity() const {
    std::lock_guard lock(m_IdentityMutex);
    return m_Identity;
}

}  // namespace varnel
