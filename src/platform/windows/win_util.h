// Small pieces every part of the Windows platform layer uses: an owned handle, the GUID
// conversion, the present device interfaces of a class, and deadlines as wait times.
#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "transport/usb_interface.h"

namespace varnel {

// A handle closed when it goes out of scope; null and INVALID_HANDLE_VALUE both mean none.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { Reset(nullptr); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    void Reset(HANDLE handle) {
        if (Valid()) {
            ::CloseHandle(m_handle);
        }
        m_handle = handle;
    }
    // Gives up ownership without closing.
    HANDLE Release() { return std::exchange(m_handle, nullptr); }
    bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

  private:
    HANDLE m_handle = nullptr;
};

GUID ToWindowsGuid(const Guid& guid);

// Device paths of the present interfaces of a class, as SetupAPI reports them.
std::vector<std::string> PresentInterfacePaths(const Guid& interfaceClass);

using SteadyTime = std::chrono::steady_clock::time_point;

inline SteadyTime DeadlineAfter(uint32_t milliseconds) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

// What is left until `deadline` as a wait time for the system; 0 once it has passed.
DWORD MillisecondsLeft(SteadyTime deadline);

}  // namespace varnel
