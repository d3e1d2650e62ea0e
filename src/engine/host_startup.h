// What the main window's initialisation asks of the host: the OS decision, the download RAM size,
// the title and system-menu texts, the device-notification registration and the sync-software
// control. The window implements StartupWindow; the application supplies a HostStartup.
//
// The window's initialisation calls, in this order, with its own steps in between:
//   if (!host.DecideOs(window)) return;        // create the transports of ChosenTransport()
//   host.DecideDownloadRamSize(window);        // then copy VistaOrLater(), DownloadRamSize()
//   host.SetTitleAndSystemMenu(window);
//   ... icon, port captions and progress bars ...
//   host.RegisterDeviceNotifications(window);
//   ... clear all ports, combos, drop target ...
//   host.Sync().StopSyncSoftware();
// Detect appends OsSetupLine() and stops the sync software again; Close restarts it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/sync_software.h"

namespace varnel {

// 0 = Windows 2000/XP (major 5), 1 = Vista or later other than 6.1, 2 = Windows 7 (6.1).
inline constexpr int kOsKindXp = 0;
inline constexpr int kOsKindVista = 1;
inline constexpr int kOsKindWindows7 = 2;
inline std::atomic<int> g_nOsKind{kOsKindXp};

// The transport class of the eight ports: the file-handle transport (CUsbInterface: the boot
// loader's own driver, or tty nodes on Linux) or CWinUsbInterface (WinUSB, or libusb on Linux).
enum class TransportClass { kUsbInterface, kWinUsbInterface };

// String table entries.
inline constexpr uint32_t kStringAppTitle = 57344;
inline constexpr uint32_t kStringRamMegabytes = 57345;
inline constexpr uint32_t kStringFlashUnit = 57346;
inline constexpr uint32_t kStringFlashUnitCount = 57347;
inline constexpr uint32_t kStringAboutBox = 101;

class StartupWindow {
  public:
    virtual ~StartupWindow() = default;
    virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;
    // The close request (WM_CLOSE) after a start-up failure.
    virtual void RequestClose() = 0;
    virtual void SetWindowTitle(const std::string& title) = 0;
    // Appends a separator and the about-box command (IDM_ABOUTBOX) with this text.
    virtual void AppendAboutMenuItem(const std::string& text) = 0;
    // Registers for arrival and removal notifications of boot-loader devices; on failure sets the
    // system error code and returns false.
    virtual bool RegisterDeviceNotifications(uint32_t& errorCode) = 0;
};

class HostStartup {
  public:
    virtual ~HostStartup() = default;

    // Each step shows its own failure message and requests the close. DecideOs returns false when
    // the initialisation must end; the others let it go on.
    virtual bool DecideOs(StartupWindow& window) = 0;
    virtual void DecideDownloadRamSize(StartupWindow& window) = 0;
    virtual void SetTitleAndSystemMenu(StartupWindow& window) = 0;
    virtual void RegisterDeviceNotifications(StartupWindow& window) = 0;

    // Results, valid once the steps above have run.
    virtual int VistaOrLater() const = 0;
    virtual TransportClass ChosenTransport() const = 0;
    virtual uint32_t DownloadRamSize() const = 0;
    // Detect's "[Setup]" line naming the platform, with its "\r\n".
    virtual std::string OsSetupLine() const = 0;
    // A string table entry (the about box shows 101 and 57344).
    virtual std::string ResourceString(uint32_t id) const = 0;

    virtual SyncSoftware& Sync() = 0;
};

}  // namespace varnel
