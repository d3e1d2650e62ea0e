// For tests of the device notifications: the broadcast record the system hands WM_DEVICECHANGE,
// and a listener that records what it is told.
#pragma once

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/windows/win_util.h"
#include "transport/device_events.h"

namespace varnel {

// Sized as it says unless `size` is given.
inline std::vector<unsigned char> Broadcast(const Guid& interfaceClass, const std::string& name,
                                            DWORD size = 0) {
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<unsigned char> bytes(kNameOffset + name.size() + 1, 0);
    DEV_BROADCAST_DEVICEINTERFACE_A header{};
    header.dbcc_size = size != 0 ? size : static_cast<DWORD>(bytes.size());
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = ToWindowsGuid(interfaceClass);
    std::memcpy(bytes.data(), &header, kNameOffset);
    std::memcpy(bytes.data() + kNameOffset, name.data(), name.size());
    return bytes;
}

inline void SendDeviceChange(void* window, WPARAM event, std::vector<unsigned char> record) {
    ::SendMessageA(static_cast<HWND>(window), WM_DEVICECHANGE, event,
                   reinterpret_cast<LPARAM>(record.data()));
}

class RecordingListener final : public DeviceEventListener {
  public:
    void OnDeviceArrival(const std::string& path) override { Record("+" + path); }
    void OnDeviceRemoval(const std::string& path) override { Record("-" + path); }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

  private:
    void Record(std::string event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

}  // namespace varnel
