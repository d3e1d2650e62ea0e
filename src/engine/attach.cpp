#include "engine/attach.h"

#include <cstring>

#include "engine/clock.h"
#include "engine/log_sink.h"
#include "engine/protocol.h"
#include "images/image_globals.h"
#include "transport/device_path.h"

namespace varnel {

namespace {

template <typename... Args>
void PortLog(AttachWindow& window, int port, const char* format, Args... args) {
    window.AppendPortLogText(port, FormatEntry(format, args...));
}

// True when the device named like `port`'s, in the same USB port, is already in use on a lower
// (or the same) port. Handsets that share a serial but sit in different USB ports are two.
bool NameInUse(const DownloadJob& job, int port) {
    for (int other = 0; other <= port; ++other) {
        if (EqualIgnoringCase(job.m_strDeviceName[other], job.m_strDeviceName[port]) &&
            job.m_DeviceIdentity[other].strPortPath == job.m_DeviceIdentity[port].strPortPath) {
            const int state = job.m_PortSlot[other].nState.load();
            return state != kPortIdle && state != kPortFailed;
        }
    }
    return false;
}

// The port for a handset: the one its socket is pinned to, else the free port nearest the top
// of the stack that no socket is pinned to; -1 when that port is taken.
int PortFor(const DownloadJob& job, const DeviceIdentity& identity) {
    const DeviceChoice& choice = job.m_DeviceChoice;
    const int mapped = choice.MappedPort(identity.strPortPath);
    if (mapped >= 0) {
        return job.m_FreePortStack.Contains(mapped) && job.m_pTransport[mapped] ? mapped : -1;
    }
    return job.m_FreePortStack.TopWhere(
        [&](int port) { return !choice.IsMappedPort(port) && job.m_pTransport[port]; });
}

}  // namespace

uint32_t AttachOptionBits(const DownloadJob& job) {
    uint32_t bits = 0;
    bits |= job.m_bEraseCsc ? 0x2u : 0u;
    bits |= job.m_bEraseNvData ? 0x4u : 0u;
    bits |= job.m_bEraseNvBackup ? 0x8u : 0u;
    bits |= job.m_bEraseNvPda ? 0x10u : 0u;
    bits |= job.m_bEfsClear ? 0x20u : 0u;
    bits |= job.m_bWriteModemNv ? 0x40u : 0u;
    bits |= job.m_bKeepEbootCfg ? 0x80u : 0u;
    bits |= job.m_bSetPriorityBit ? 0x200u : 0u;
    const bool skipOsUpdate = job.m_bSkipOsUpdate || g_nTelvikType == kTelvikSingle ||
                              (g_nCscType == kCscSingle && g_nTelvikType == kTelvikNone);
    bits |= skipOsUpdate ? 0x400u : 0u;
    bits |= job.m_bPreserveContents ? 0x800u : 0u;
    bits |= job.m_bSmdCheck ? 0x1000u : 0u;
    bits |= job.m_bUpdatePhoneBoot ? 0x80000000u : 0u;
    return bits;
}

std::string IdentityText(const DeviceIdentity& identity) {
    const auto known = [](const std::string& text) { return text.empty() ? "-" : text; };
    return "serial " + known(identity.strSerial) + ", port " + known(identity.strPortPath);
}

AttachResult AttachDevice(DownloadJob& job, AttachWindow& window, Clock& clock,
                          const std::string& devicePath) {
    int port = job.m_FreePortStack.Top();
    if (port < 0 || !job.m_pTransport[port]) {
        return AttachResult::kNoFreePort;
    }
    bool portChosen = false;
    MainLogSink& mainLog = window.MainLog();
    uint8_t reply[kReplySize] = {};

    int attemptsLeft = kAttachAttempts;
    bool acknowledged = false;
    bool opened = false;
    while (attemptsLeft > 0 && !acknowledged) {
        --attemptsLeft;
        CUsbInterface& transport = *job.m_pTransport[port];
        if (!transport.Open(GUID_BOOTLOADER_INTERFACE, devicePath.c_str())) {
            if (transport.LastOpenDenied()) {
                mainLog.AppendMainLog(
                    "[Error:%d] No permission to open %s: install the udev rules (the "
                    "varnel-downloader package does; from a checkout copy "
                    "packaging/70-varnel.rules to /etc/udev/rules.d) or add the user to the "
                    "group plugdev, then plug it in again.\r\n",
                    port, devicePath.c_str());
                return AttachResult::kAccessDenied;
            }
            clock.Sleep(kAttachRetryPauseMs);
            continue;
        }
        opened = true;
        const DeviceIdentity identity = transport.Identity();
        if (!job.m_DeviceChoice.Accepts(identity)) {
            transport.Close();
            mainLog.AppendMainLog("[Setup] %s (%s) is not a chosen device: left alone\r\n",
                                  devicePath.c_str(), IdentityText(identity).c_str());
            return AttachResult::kNotChosen;
        }
        if (!portChosen) {
            // Known only now that it is open: where the handset is plugged in.
            portChosen = true;
            const int wanted = PortFor(job, identity);
            if (wanted < 0) {
                transport.Close();
                mainLog.AppendMainLog("[Setup] No free port for %s (%s)\r\n", devicePath.c_str(),
                                      IdentityText(identity).c_str());
                return AttachResult::kSlotTaken;
            }
            if (wanted != port) {
                transport.Close();
                port = wanted;
                ++attemptsLeft;
                continue;
            }
        }
        job.m_strDeviceName[port] = DeviceNameFromPath(transport.DevicePath());
        job.m_DeviceIdentity[port] = transport.Identity();
        PortLog(window, port, "[Setup:%d] Device name:%s\r\n", port,
                job.m_strDeviceName[port].c_str());
        if (NameInUse(job, port)) {
            transport.Close();
            mainLog.AppendMainLog("[Error:%id] Another same device Found. TimeOut:%d\r\n", port,
                                  attemptsLeft);
            return AttachResult::kSameDevice;
        }
        // The window thread waits here, so a silent device gets only a short time.
        transport.SetIoTimeout(GetProtocolTimeouts().handshakeMs);
        transport.Write(kHandshakeRequest, kReplySize);
        transport.ReadWait(reply, kReplySize);
        if (std::memcmp(reply, kHandshakeAck, kReplySize) == 0) {
            PortLog(window, port, "[Setup:%d] PDA Device Found! TimeOut:%d\r\n", port,
                    attemptsLeft);
            acknowledged = true;
            break;
        }
        mainLog.AppendMainLog("[Error:%d] Not receive OKUD! TimeOut:%d\r\n", port, attemptsLeft);
        transport.Close();
        clock.Sleep(kAttachRetryPauseMs);
    }
    CUsbInterface& transport = *job.m_pTransport[port];
    if (!acknowledged) {
        PortLog(window, port, "[Error:%d] USB no ack. Check ActiveSync. TimeOut:%d\r\n", port, -1);
        return opened ? AttachResult::kNoAcknowledge : AttachResult::kNotOpened;
    }

    if (job.m_bEboot) {
        // A device that does not answer the query must not leave the handshake's "OKUD" behind
        // as its version.
        std::memset(reply, 0, sizeof reply);
        clock.Sleep(1000);
        SendVersionQuery(transport, reply, GetProtocolTimeouts().handshakeMs);
        job.m_dwBootloaderVersion = GetLE32(reply);
        mainLog.AppendMainLog("[Setup:%d] Target Device BOOTLOADER version = %08X\r\n", port,
                              job.m_dwBootloaderVersion.load());
    }
    ++job.m_nDetected;
    job.m_FreePortStack.Remove(port);
    PortLog(window, port, "[Setup:%d] PDA Device detected. TimeOut:%d\r\n", port, attemptsLeft);
    PortLog(window, port, "[Setup:%d] Device %s\r\n", port,
            IdentityText(job.m_DeviceIdentity[port]).c_str());
    job.m_PortSlot[port].nState = kPortAttached;
    job.m_PortSlot[port].nKind = kKindEboot;
    window.ShowPortAttached(port);
    window.ShowPortIdentity(port, job.m_DeviceIdentity[port]);
    job.m_dwOptionFlags |= AttachOptionBits(job);
    if (job.m_bStartImmediately || job.m_nDetected >= kPortCount) {
        window.PostStartDownloading();
    } else {
        window.EnableStartDownloading();
    }
    return AttachResult::kAttached;
}

}  // namespace varnel
