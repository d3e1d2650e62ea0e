// The download job record: what the window and the eight port workers share. The window owns
// it (CMorvaneDlg derives from it); each worker writes only its own slot, its own busy entry and
// the few job fields named below.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/device_choice.h"
#include "engine/stack_int.h"
#include "images/image_globals.h"
#include "transport/usb_interface.h"

namespace varnel {

inline constexpr int kPortCount = 8;

// What a port is working on (slot kind; also argument 1 of the RAM-download command).
enum ImageKind : int {
    kKindEboot = 0,
    kKindPda = 1,
    kKindCsc = 2,
    kKindTelvik = 3,
    kKindPhone = 4,
    kKindSmd = 5,
    kKindIntegrated = 6,
    kKindContents = 7,
    kKindDone = 8,
};
inline constexpr int kImageKindCount = 8;  // EBoot .. Contents

// The numbering of the image choice operations (there is no selection kind 4).
enum SelectionKind : int {
    kSelectEboot = 0,
    kSelectPda = 1,
    kSelectCsc = 2,
    kSelectTelvik = 3,
    kSelectNone = 4,
    kSelectPhone = 5,
    kSelectSmd = 6,
    kSelectIntegrated = 7,
    kSelectContents = 8,
};
// The image kind a selection kind fills, or -1 for the gap at 4.
int ImageKindOfSelection(int selectionKind);

enum PortState : int {
    kPortIdle = 0,
    kPortAttached = 1,
    kPortDownloading = 2,
    kPortFinished = 3,
    kPortFailed = 4,
};

struct PortSlot {
    std::atomic<int> nState{kPortIdle};
    std::atomic<int> nKind{kKindEboot};
    std::atomic<int> nIndex{0};
};

struct ImageSpan {
    uint64_t dwStart = 0;
    uint64_t dwSize = 0;
};

class DownloadJob;

struct PortThreadParam {
    int nPort = 0;
    DownloadJob* pDlg = nullptr;
    CUsbInterface* pTransport = nullptr;
};

// Program-wide values. The busy entries coordinate the launch barrier between workers; the
// layout types of the chosen images (g_nCscType, g_nTelvikType) are in images/image_globals.h.
extern std::atomic<int> g_bPortBusy[kPortCount];

class DownloadJob {
  public:
    static constexpr uint32_t kDefaultRamBase = 0;
    static constexpr uint32_t kDefaultLaunchAddress = 0x80028000;

    DownloadJob() = default;
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;
    virtual ~DownloadJob() = default;

    // Per port.
    std::unique_ptr<CUsbInterface> m_pTransport[kPortCount];
    std::string m_strDeviceName[kPortCount];
    // The attached handset's serial and USB port path.
    DeviceIdentity m_DeviceIdentity[kPortCount];
    PortSlot m_PortSlot[kPortCount];
    PortThreadParam m_ThreadParam[kPortCount];

    // Image selection, by image kind 0..7. Workers clear what they take from an Integrated image
    // while the window may read it, so flags are atomic and paths and spans are read and written
    // under m_SelectionMutex (use the accessors below).
    std::atomic<int> m_bEboot{0}, m_bPda{0}, m_bCsc{0}, m_bTelvik{0}, m_bPhone{0}, m_bSmd{0},
        m_bIntegrated{0}, m_bContents{0};
    std::string m_strEbootPath, m_strPdaPath, m_strCscPath, m_strTelvikPath, m_strPhonePath,
        m_strSmdPath, m_strIntegratedPath, m_strContentsPath;
    ImageSpan m_ImageSpan[kImageKindCount];
    mutable std::mutex m_SelectionMutex;

    std::atomic<int>& SelectedFlag(int imageKind);
    bool IsSelected(int imageKind) const;
    std::string Path(int imageKind) const;
    void SetPath(int imageKind, const std::string& path);
    ImageSpan Span(int imageKind) const;
    void SetSpan(int imageKind, ImageSpan span);
    // Clears the flag, the path and the span of a kind.
    void ClearSelection(int imageKind);

    // Options, bound to the check boxes of the same captions.
    std::atomic<int> m_bKeepEbootCfg{0}, m_bEraseCsc{0}, m_bEraseNvData{0}, m_bEraseNvBackup{0},
        m_bEraseNvPda{0}, m_bWriteModemNv{0}, m_bStartImmediately{0}, m_bSetPriorityBit{0},
        m_bSkipOsUpdate{0}, m_bPreserveContents{0}, m_bSkipBootWait{0}, m_bSmdCheck{0},
        m_bEfsClear{0}, m_bUpdatePhoneBoot{0};
    std::atomic<uint32_t> m_dwOptionFlags{0};
    std::atomic<int> m_SelectLangID{0};
    std::atomic<int> m_nSelectedCscFile{0};

    // Job values.
    std::atomic<uint32_t> m_dwBootloaderVersion{0};
    int m_bVistaOrLater = 0;
    CStackInt m_FreePortStack;
    // Which handsets attach, and the ports their USB sockets are pinned to.
    DeviceChoice m_DeviceChoice;
    int m_nDetected = 0;
    int m_nFinished = 0;
    int m_nFailed = 0;
    int m_nIdlePorts = kPortCount;
    std::atomic<uint32_t> m_dwSingleTelvikSum{0};
    int m_bWaitingForDevice = 0;
    uint32_t m_dwDownloadRamSize = 0;

    // Device profile, fixed at construction.
    uint32_t m_dwRamBase = kDefaultRamBase;
    uint32_t m_dwLaunchAddress = kDefaultLaunchAddress;

  private:
    std::string& PathField(int imageKind);
    const std::string& PathField(int imageKind) const;
};

}  // namespace varnel
