#include "platform/windows/win_util.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstddef>

namespace varnel {

GUID ToWindowsGuid(const Guid& guid) {
    GUID result{};
    result.Data1 = guid.data1;
    result.Data2 = guid.data2;
    result.Data3 = guid.data3;
    std::copy(std::begin(guid.data4), std::end(guid.data4), std::begin(result.Data4));
    return result;
}

std::vector<std::string> PresentInterfacePaths(const Guid& interfaceClass) {
    std::vector<std::string> paths;
    const GUID classGuid = ToWindowsGuid(interfaceClass);
    const HDEVINFO info =
        ::SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; ::SetupDiEnumDeviceInterfaces(info, nullptr, &classGuid, index, &data);
         ++index) {
        DWORD needed = 0;
        ::SetupDiGetDeviceInterfaceDetailA(info, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            continue;
        }
        std::vector<unsigned char> storage(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!::SetupDiGetDeviceInterfaceDetailA(info, &data, detail, needed, nullptr, nullptr)) {
            continue;
        }
        // The path ends within the buffer the system sized; never read past it.
        const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const auto* begin = reinterpret_cast<const char*>(storage.data() + offset);
        paths.emplace_back(begin, std::find(begin, begin + (needed - offset), '\0'));
    }
    ::SetupDiDestroyDeviceInfoList(info);
    return paths;
}

DWORD MillisecondsLeft(SteadyTime deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0
                             : static_cast<DWORD>(std::min<int64_t>(left.count(), INFINITE - 1));
}

}  // namespace varnel
