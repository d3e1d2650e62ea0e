#include "engine/download_worker.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "engine/clock.h"
#include "engine/log_sink.h"
#include "engine/protocol.h"
#include "engine/status.h"
#include "engine/sync_software.h"
#include "images/bytesum.h"
#include "images/csc_image.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_layouts.h"
#include "images/image_reader.h"
#include "images/language_table.h"

namespace varnel {

namespace {

constexpr uint32_t kPauseBetweenImagesMs = 1000;
constexpr uint32_t kLanguagePauseMs = 2000;
constexpr uint32_t kReattachSettleMs = 500;
constexpr uint32_t kVersionQueryPauseMs = 1000;
// Pauses are taken in slices so that a window shutting down is not kept waiting.
constexpr uint32_t kPauseSliceMs = 100;
// Option bits of "Erase CSC", "Erase NV Data", "Erase NV Backup", "Erase NV PDA" and "EFS Clear".
constexpr uint32_t kOptionEraseBits = 0x2 | 0x4 | 0x8 | 0x10 | 0x20;

// Where an image comes from: a separately chosen file, or a component of the Integrated image.
enum class Source { kFile, kComponent };

class PortWorker {
  public:
    PortWorker(PortThreadParam& param, const WorkerServices& services)
        : job_(*param.pDlg),
          transport_(*param.pTransport),
          port_(param.nPort),
          services_(services) {}

    void Run();

  private:
    // ---- reporting
    void Status(uint32_t code, uint32_t argument = 0) {
        services_.window->SendDownloadStatus(code, StatusParam(port_, argument));
    }
    template <typename... Args>
    void Log(const char* format, Args... args) {
        if constexpr (sizeof...(Args) == 0) {
            services_.log->AppendMainLogText(format);
        } else {
            services_.log->AppendMainLog(format, args...);
        }
    }
    // Ends the job with a failure status; always false so callers can return it.
    bool Fail(uint32_t code, uint32_t argument) {
        Status(code, argument);
        failed_ = true;
        return false;
    }
    // An end the window would otherwise never hear of: reported as a read error of the file,
    // so the port turns red and the job can finish.
    bool FailSilently() { return Fail(kStatusReadError, kErrorSourceFile); }
    // After a step that may or may not have reported its own failure.
    bool FailUnlessReported() { return failed_ ? false : FailSilently(); }
    // A reply that did not come in time: one line naming the command and the wait.
    void LogMissed(const MissedReply& missed) {
        Log("[Error:%d] No reply to command %u within %u ms\r\n", port_,
            static_cast<unsigned>(missed.code), static_cast<unsigned>(missed.waitedMs));
    }
    bool FailMissed(const MissedReply& missed) {
        LogMissed(missed);
        return Fail(kStatusReadError, kErrorSourceDevice);
    }
    bool FailFromDownload(uint32_t result, int errorSource, const MissedReply& missed) {
        if (missed.code != 0) {
            LogMissed(missed);
        }
        return Fail(result, static_cast<uint32_t>(errorSource));
    }

    bool Stopping() const {
        return services_.stopRequested != nullptr && services_.stopRequested->load();
    }
    void Pause(uint32_t milliseconds) {
        while (milliseconds > 0 && !Stopping()) {
            const uint32_t slice = std::min(milliseconds, kPauseSliceMs);
            services_.clock->Sleep(slice);
            milliseconds -= slice;
        }
    }
    void SetKind(int kind) {
        job_.m_PortSlot[port_].nKind = kind;
        job_.m_PortSlot[port_].nIndex = 0;
    }

    // ---- file access
    bool OpenImage(ImageFile& file, int imageKind) {
        if (!file.Open(job_.Path(imageKind)) || !file.Seek(0)) {
            return Fail(kStatusReadError, kErrorSourceFile);
        }
        return true;
    }
    // Positions `file` after a component's identifier; logs `invalidLine` when the identifier is
    // wrong or the component does not lie inside the file.
    bool EnterComponent(ComponentKind kind, const char* invalidLine) {
        const ComponentCheck check = LocateComponent(image_, imageHeader_, kind);
        if (check != ComponentCheck::kOk) {
            Log(invalidLine, port_);
            return Fail(kStatusReadError, kErrorSourceFile);
        }
        return true;
    }
    uint32_t ComponentSize(ComponentKind kind) const { return imageHeader_.Of(kind).dwSize; }

    // ---- protocol steps
    // Waits for the whole reply to `code`; a long wait is logged as still running now and then.
    // AwaitReply fails the port on anything short of the reply, so the reply stream never goes
    // out of step.
    bool ReceiveReply(uint32_t code, ReplyWait wait, uint8_t (&reply)[kReplySize]) {
        std::function<bool(uint32_t)> stillRunning;
        if (wait == ReplyWait::kLong) {
            stillRunning = [this, code](uint32_t waitedMs) {
                Log("[Wait:%d] Command %u still running, %u s so far\r\n", port_,
                    static_cast<unsigned>(code), static_cast<unsigned>(waitedMs / 1000));
                return !Stopping();
            };
        }
        return ReadReplyWithin(transport_, reply, ReplyLimitMs(wait), stillRunning) == kReplySize;
    }
    bool AwaitReply(uint32_t code, ReplyWait wait, uint8_t (&reply)[kReplySize]) {
        return ReceiveReply(code, wait, reply) || FailMissed({code, ReplyLimitMs(wait)});
    }
    // A command whose reply carries nothing but must come before the next command goes out.
    bool Command(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
                 ReplyWait wait = ReplyWait::kQuick) {
        if (!PostCommand(transport_, code, a1, a2, a3)) {
            return FailMissed({code, 0});
        }
        uint8_t reply[kReplySize] = {};
        return AwaitReply(code, wait, reply);
    }
    bool Download(ImageFile& file, uint64_t length) {
        int errorSource = 0;
        MissedReply missed;
        const uint32_t result = DownloadToRam(
            transport_, port_, *services_.window, file, 0, length, job_.m_dwRamBase,
            static_cast<uint32_t>(job_.m_PortSlot[port_].nKind.load()), errorSource, &missed);
        return result == 0 || FailFromDownload(result, errorSource, missed);
    }
    bool Flash(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3, const char* errorLine) {
        MissedReply missed;
        if (WriteFlash(transport_, code, a1, a2, a3, *services_.window, port_, &missed) != 0) {
            if (missed.code != 0) {
                LogMissed(missed);
            }
            Log(errorLine, port_);
            failed_ = true;
            return false;
        }
        return true;
    }
    // Sends `length` bytes from the file's position in pieces, each written by `code`.
    bool SendPieces(ImageFile& file, uint64_t length, uint32_t code, const char* errorLine) {
        uint32_t piece = 0;
        for (uint64_t done = 0; done < length; done += services_.pieceSize, ++piece) {
            const uint64_t pieceLength = std::min(services_.pieceSize, length - done);
            if (!Download(file, pieceLength)) {
                return false;
            }
            Status(kStatusChecksumWait);
            if (!Flash(code, 0, static_cast<uint32_t>(pieceLength), piece, errorLine)) {
                return false;
            }
        }
        return true;
    }
    // Sends an end marker and reads the device's check word for what it wrote: one that does not
    // come is a device failure, one that differs a checksum failure.
    bool EndMarkerAndCheckWord(uint32_t kind, uint32_t expected, uint32_t phase, uint32_t pauseMs) {
        if (!Command(kCmdMarker, kind, expected, phase)) {
            return false;
        }
        Status(kStatusChecksumWait);
        if (job_.m_bVistaOrLater) {
            Pause(pauseMs);
        }
        uint8_t reply[kReplySize] = {};
        if (!AwaitReply(kCmdMarker, ReplyWait::kLong, reply)) {
            return false;
        }
        if (GetLE32(reply) != expected) {
            return Fail(kStatusChecksumError, 0);
        }
        return true;
    }

    // ---- the images
    bool RunSeparateImages();
    bool RunIntegratedWalk();
    bool Eboot(Source source);
    bool Reattach();
    bool Csc(Source source);
    void LogCscInformation(const char* title, const CscHeader& header);
    bool Pda(Source source);
    bool Langpack(ImageFile& file);
    bool SelectLanguage(const char* lineFormat);
    bool Phone(Source source);
    bool Telvik(Source source);
    bool TelvikPartitions(ImageFile& file, uint64_t dataStart, Source source);
    bool SingleTelvik(ImageFile& file, uint64_t partitionStart, uint64_t partitionLength,
                      uint32_t announcedLength, Source source);
    bool Contents(Source source);
    bool SmdJob();
    bool SendJobPlan(uint32_t mask);
    void LaunchAndFinish();

    DownloadJob& job_;
    CUsbInterface& transport_;
    const int port_;
    const WorkerServices& services_;

    ImageFile image_;  // the Integrated file, while its walk runs
    sImageHeader imageHeader_;
    std::optional<CscHeader> cscHeader_;  // read by the CSC step, used by the language step
    bool failed_ = false;
};

uint32_t ImageMaskBitCount(uint32_t mask) {
    uint32_t count = 0;
    for (uint32_t bit = 0; bit < 6; ++bit) {
        count += (mask >> bit) & 1u;
    }
    return count;
}

void PortWorker::Run() {
    g_bPortBusy[port_] = 1;
    bool ok;
    if (job_.m_bSmd) {
        ok = SmdJob();
    } else {
        const uint32_t mask = (job_.m_bEboot ? kMaskEboot : 0) | (job_.m_bPda ? kMaskPda : 0) |
                              (job_.m_bCsc ? kMaskCsc : 0) | (job_.m_bTelvik ? kMaskTelvik : 0) |
                              (job_.m_bContents ? kMaskContents : 0);
        ok = SendJobPlan(mask) && (!job_.m_bIntegrated || RunIntegratedWalk()) &&
             RunSeparateImages();
        if (ok) {
            // Writing is over: wait (bounded) until no other port is still writing, so that no
            // handset reboots while a neighbour is mid-flash.
            g_bPortBusy[port_] = 0;
            for (int poll = 0; poll < kLaunchBarrierPolls && !Stopping(); ++poll) {
                bool allIdle = true;
                for (const auto& busy : g_bPortBusy) {
                    allIdle = allIdle && busy.load() != 1;
                }
                Pause(1000);
                if (allIdle) {
                    break;
                }
            }
        }
    }
    if (ok && !Stopping()) {
        LaunchAndFinish();
    } else if (!failed_) {
        FailSilently();
    }
    // A port that ends, by failure or after an SMD job, no longer holds the others' launch back.
    g_bPortBusy[port_] = 0;
    if (transport_.IsOpen()) {
        transport_.Close();
    }
}

bool PortWorker::SendJobPlan(uint32_t mask) {
    // A plan that asks for erasing is answered once the handset has erased.
    const uint32_t flags = job_.m_dwOptionFlags.load();
    const ReplyWait wait = (flags & kOptionEraseBits) != 0 ? ReplyWait::kLong : ReplyWait::kQuick;
    return Command(kCmdJobPlan, mask, ImageMaskBitCount(mask), flags, wait);
}

void PortWorker::LaunchAndFinish() {
    if (!Command(kCmdLaunch, job_.m_dwLaunchAddress, 0, 0)) {
        return;
    }
    const bool osUpdated = !job_.m_bSkipOsUpdate && (job_.m_bCsc || job_.m_bTelvik);
    if (job_.m_bIntegrated || job_.m_bPda || osUpdated || job_.m_bSmd) {
        Status(kStatusWaitForBoot);
        if (!job_.m_bSkipBootWait) {
            Pause(kBootWaitMs);
        }
    }
    Status(kStatusJobDone, 0);
}

bool PortWorker::RunSeparateImages() {
    if (job_.m_bEboot && !Eboot(Source::kFile)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (job_.m_bCsc && !Csc(Source::kFile)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (job_.m_bPda && !Pda(Source::kFile)) {
        return false;
    }
    if (job_.m_bCsc && !job_.m_bSkipOsUpdate && !SelectLanguage("[PDA:%d] LANG_ID:[%d][%s]\r\n")) {
        return false;
    }
    if (job_.m_bPhone && !Phone(Source::kFile)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (job_.m_bTelvik && !Telvik(Source::kFile)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (job_.m_bContents && !Contents(Source::kFile)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    return !Stopping();
}

bool PortWorker::RunIntegratedWalk() {
    if (!image_.Open(job_.Path(kKindIntegrated))) {
        Log("cIMGFile.Open Failed\r\n");
        return false;
    }
    if (ReadImageHeader(image_, imageHeader_) != ImageHeaderRead::kOk) {
        Log("sImageHeader ID is invalid\r\n");
        return Fail(kStatusIntegratedError, kErrorSourceFile);
    }
    g_bPortBusy[port_] = 1;
    const auto present = [this](ComponentKind kind) { return imageHeader_.Of(kind).Present(); };
    const uint32_t mask =
        (present(kComponentEboot) ? kMaskEboot : 0) | (present(kComponentPda) ? kMaskPda : 0) |
        (present(kComponentCsc) ? kMaskCsc : 0) | (present(kComponentPhone) ? kMaskPhone : 0) |
        (present(kComponentTelvik) ? kMaskTelvik : 0) |
        (present(kComponentContents) ? kMaskContents : 0);
    if (!SendJobPlan(mask)) {
        return false;
    }

    if (present(kComponentEboot) && !Eboot(Source::kComponent)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (present(kComponentCsc) && !Csc(Source::kComponent)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (present(kComponentPda) && !Pda(Source::kComponent)) {
        return false;
    }
    if (present(kComponentCsc) && !job_.m_bSkipOsUpdate) {
        Log("[LNG]Language Select check, pProc->m_SelectLangID = %d \r\n",
            job_.m_SelectLangID.load());
        if (!SelectLanguage("[LNG:%d] LANG_ID:[%d][%s]\r\n")) {
            return false;
        }
    }
    if (present(kComponentPhone) && !Phone(Source::kComponent)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (present(kComponentTelvik) && !Telvik(Source::kComponent)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    if (present(kComponentSingleTelvik)) {
        job_.ClearSelection(kKindTelvik);
        if (!EnterComponent(kComponentSingleTelvik,
                            "[TELVIK:%d] Single TELVIK_ID is invalid \r\n")) {
            return false;
        }
        Log("[TELVIK:%d] Single Telvik Download start 0x%x\r\n", port_, job_.m_dwRamBase);
        SetKind(kKindTelvik);
        const uint64_t start = image_.Position();
        const uint32_t size = ComponentSize(kComponentSingleTelvik);
        job_.m_dwSingleTelvikSum = RegionByteSum(image_, start, size);
        if (!SingleTelvik(image_, start, size, static_cast<uint32_t>(image_.Length()),
                          Source::kComponent)) {
            return false;
        }
    }
    if (present(kComponentContents) && !Contents(Source::kComponent)) {
        return false;
    }
    Pause(kPauseBetweenImagesMs);
    image_.Close();
    return !Stopping();
}

bool PortWorker::Eboot(Source source) {
    const bool component = source == Source::kComponent;
    if (component) {
        job_.ClearSelection(kKindEboot);
    }
    const uint64_t size = component ? ComponentSize(kComponentEboot) : job_.Span(kKindEboot).dwSize;
    Log("[EBoot:%d] Download to 0x%x \r\n", port_, job_.m_dwRamBase);
    Log("[EBoot:%d] Size: %d Bytes\r\n", port_, static_cast<int>(size));
    SetKind(kKindEboot);

    ImageFile separate;
    ImageFile& file = component ? image_ : separate;
    uint32_t sum;
    uint64_t length;
    if (component) {
        if (!EnterComponent(kComponentEboot, "[EBoot:%d] EBOOT_ID is invalid \r\n")) {
            return false;
        }
        sum = RegionByteSum(file, file.Position(), size);
        length = size;
    } else {
        if (!OpenImage(file, kKindEboot)) {
            return false;
        }
        sum = FileByteSum(file);
        const ImageSpan span = job_.Span(kKindEboot);
        length = span.dwSize > span.dwStart ? span.dwSize - span.dwStart : 0;
    }
    if (!Download(file, length)) {
        return false;
    }
    Status(kStatusEbootFlashing);
    Log("[EBoot:%d] Flash programming \r\n", port_);
    // The echo comes once the boot loader is in flash; without it nothing is known to be there.
    uint8_t echo[kReplySize] = {};
    if (!PostCommand(transport_, kCmdWriteEboot, job_.m_dwRamBase, static_cast<uint32_t>(size),
                     sum) ||
        !ReceiveReply(kCmdWriteEboot, ReplyWait::kLong, echo)) {
        LogMissed({kCmdWriteEboot, ReplyLimitMs(ReplyWait::kLong)});
        Log("[EBoot:%d] Writing flash error\r\n", port_);
        return Fail(kStatusFlashNoAck, 0);
    }
    if (GetLE32(echo) != sum) {
        Log("[EBoot:%d] Writing flash error\r\n", port_);
        return Fail(kStatusFlashNoAck, 0);
    }

    if (component) {
        Log("[EBOOT:%d] EBOOT reattaching start\r\n", port_);
        return Reattach();
    }
    if ((job_.m_bPda || job_.m_bTelvik) &&
        job_.m_dwBootloaderVersion.load() >= kBootloaderVersionThreshold) {
        return Reattach();
    }
    return true;
}

bool PortWorker::Reattach() {
    Pause(kReattachSettleMs);
    if (!Command(kCmdPrepareReattach, 0, 0, 0)) {
        return false;
    }
    const std::string devicePath = transport_.DevicePath();
    transport_.Close();

    SyncSoftware* sync = services_.sync;
    const KilledFlags saved = sync != nullptr ? sync->SaveKilledFlags() : KilledFlags{};
    bool reopened = false;
    for (int attempt = 1; attempt <= kReconnectAttempts && !Stopping(); ++attempt) {
        Status(kStatusReconnect, static_cast<uint32_t>(attempt));
        Pause(job_.m_bVistaOrLater ? 5000 : 1000);
        if (sync != nullptr) {
            sync->ClearKilledFlags();
            sync->StopSyncSoftware();
        }
        if (transport_.Open(GUID_BOOTLOADER_INTERFACE, devicePath.c_str())) {
            Status(kStatusReconnect, 100);
            reopened = true;
            break;
        }
    }
    if (sync != nullptr) {
        sync->RestoreKilledFlags(saved);
    }
    if (!reopened) {
        Log("[%d]Reconnect Timeout!!\r\n", port_);
        return Fail(kStatusReconnectFailed, 0);
    }

    uint8_t reply[kReplySize] = {};
    transport_.SetIoTimeout(GetProtocolTimeouts().handshakeMs);
    transport_.Write(kHandshakeRequest, kReplySize);
    if (transport_.ReadWait(reply, kReplySize) != kReplySize ||
        std::memcmp(reply, kHandshakeAck, kReplySize) != 0) {
        Log("[%d]Reconnect Fail!!\r\n", port_);
        return Fail(kStatusReconnectFailed, 0);
    }
    Log("[%d]Reconnect Success!!\r\n", port_);
    Pause(kVersionQueryPauseMs);
    const uint32_t limit = ReplyLimitMs(ReplyWait::kQuick);
    if (SendVersionQuery(transport_, reply, limit) != kReplySize) {
        return FailMissed({kCmdQueryVersion, limit});
    }
    job_.m_dwBootloaderVersion = GetLE32(reply);
    Log("[Setup:%d] New EBOOT version = %08X\r\n", port_, job_.m_dwBootloaderVersion.load());
    return true;
}

void PortWorker::LogCscInformation(const char* title, const CscHeader& header) {
    Log(title, port_);
    Log("[CSC:%d] Verision:[%s]\r\n", port_, FieldText(header.Version).c_str());
    for (size_t index = 0; index < kLanguageListSize; ++index) {
        const uint8_t row = header.SupportLanguage[index];
        if (row == kLanguageListEnd) {
            break;
        }
        Log("[CSC] SupportLanguage 0x%x:[%s]\r\n", static_cast<unsigned>(index),
            IsLanguageRow(row) ? LanguageTable[row].szCode : "");
    }
    Log("[CSC:%d] SalesCode:[%s]\r\n", port_, FieldText(header.SalesCode).c_str());
    Log("[CSC:%d] Priority:[0x%x]\r\n", port_, static_cast<unsigned>(header.Priority));
}

bool PortWorker::Csc(Source source) {
    const bool component = source == Source::kComponent;
    if (component) {
        job_.ClearSelection(kKindCsc);
    }
    Log("[CSC:%d] Download start 0x%x\r\n", port_, job_.m_dwRamBase);
    SetKind(kKindCsc);

    ImageFile separate;
    ImageFile& file = component ? image_ : separate;
    uint64_t dataStart = 0;
    uint64_t dataEnd;
    if (component) {
        if (!EnterComponent(kComponentCsc, "[CSC:%d] CSC_ID is invalid \r\n")) {
            return false;
        }
        dataStart = file.Position();
        dataEnd = dataStart + ComponentSize(kComponentCsc);
    } else {
        if (!OpenImage(file, kKindCsc)) {
            return false;
        }
        dataEnd = file.Length();
    }

    uint8_t raw[kCscHeaderSize];
    CscHeader header;
    uint32_t sum;
    uint64_t length;
    switch (g_nCscType.load()) {
        case kCscMulti: {
            const int selected = job_.m_nSelectedCscFile.load();
            uint64_t fileOffset = 0;
            if (!MultiCscFileOffset(selected, fileOffset)) {
                Log("[CSC:%d] Selected CSC file is not in the image\r\n", port_);
                return FailSilently();
            }
            const uint64_t fileStart = dataStart + fileOffset;
            if (!ReadAt(file, fileStart, raw, sizeof raw, dataEnd) ||
                !CscHeader::Parse(raw, sizeof raw, header) || !header.MarksValid()) {
                return FailSilently();
            }
            LogCscInformation(
                "\r\n[CSC:%d] ----------------- Information of Multi CSC Image ------------------ "
                "\r\n",
                header);
            length = g_dwCscFileSize[selected];
            if (!file.Seek(fileStart)) {
                return FailSilently();
            }
            sum = ByteSumFromHere(file, length);
            break;
        }
        case kCscSingle: {
            if (!ReadAt(file, dataStart, raw, sizeof raw, dataEnd) ||
                !CscHeader::Parse(raw, sizeof raw, header)) {
                return Fail(kStatusReadError, kErrorSourceFile);
            }
            length = dataEnd - dataStart;
            sum = RegionByteSum(file, dataStart, length);
            LogCscInformation(
                "\r\n[CSC:%d] ----------------- Information of Single CSC Image ------------------ "
                "\r\n",
                header);
            Log("[CSC:%d] Size:%d Bytes\r\n", port_, static_cast<int>(length));
            break;
        }
        default:
            Log("[CSC:%d] Unknown type CSC Image \r\n", port_);
            return FailSilently();
    }
    cscHeader_ = header;
    if (!Download(file, length)) {
        return false;
    }
    Status(kStatusChecksumWait);
    return Flash(kCmdWriteCsc, 0, static_cast<uint32_t>(length), sum,
                 "[CSC:%d] Writing flash error\r\n");
}

bool PortWorker::Pda(Source source) {
    const bool component = source == Source::kComponent;
    if (component) {
        job_.ClearSelection(kKindPda);
    }
    Log("[PDA:%d] Download start 0x%x\r\n", port_, job_.m_dwRamBase);
    SetKind(kKindPda);

    ImageFile separate;
    ImageFile& file = component ? image_ : separate;
    if (component) {
        if (!EnterComponent(kComponentPda, "[PDA:%d] PDA_ID is invalid \r\n")) {
            return false;
        }
    } else if (!OpenImage(file, kKindPda)) {
        return false;
    }
    uint8_t raw[kPdaHeaderSize];
    PdaHeader header;
    if (!file.ReadExact(raw, sizeof raw) || !PdaHeader::Parse(raw, sizeof raw, header) ||
        !header.MarksValid()) {
        return Fail(kStatusReadError, kErrorSourceFile);
    }
    Log("[PDA:%d] BSP_OSVER:[%s]\r\n", port_, FieldText(header.BSP_OSVER).c_str());
    Log("[PDA:%d] BSP_HW_ID:[%s]\r\n", port_, FieldText(header.BSP_HW_ID).c_str());
    Log("[PDA:%d] Size:[%d Bytes]\r\n", port_, static_cast<int>(header.Size));

    if (!Command(kCmdMarker, kKindPda, header.dwStartParam, kPhasePdaBegin) ||
        !SendPieces(file, header.Size, kCmdWritePdaPiece, "[PDA:%d] Writing flash error\r\n")) {
        return false;
    }
    if (!EndMarkerAndCheckWord(kKindPda, header.dwCheckWord, kPhasePdaEnd, 1000)) {
        return false;
    }
    Pause(1000);
    return Langpack(file);
}

bool PortWorker::Langpack(ImageFile& file) {
    uint8_t raw[kPdaHeaderSize];
    PdaHeader header;
    if (!file.ReadExact(raw, sizeof raw) || !PdaHeader::Parse(raw, sizeof raw, header) ||
        !header.MarksValid()) {
        Log("LANGPACK DOWNLOAD SKIP!!\r\n");
        return true;
    }
    Log("[LANGPACK:%d] BSP_OSVER:[%s]\r\n", port_, FieldText(header.BSP_OSVER).c_str());
    Log("[LANGPACK:%d] BSP_HW_ID:[%s]\r\n", port_, FieldText(header.BSP_HW_ID).c_str());
    Log("[LANGPACK:%d] Size:[%d Bytes]\r\n", port_, static_cast<int>(header.Size));
    Log("[LANGPACK:%d] [%s]\r\n", port_, FieldText(header.Name).c_str());
    if (!Download(file, header.Size)) {
        return false;
    }
    Status(kStatusChecksumWait);
    return Flash(kCmdWriteLangPack, 0, header.Size, header.dwCheckWord,
                 "[LANGPACK:%d] Writing flash error\r\n");
}

bool PortWorker::SelectLanguage(const char* lineFormat) {
    int row = -1;
    const bool chosen = SelectedLanguageRow(job_.m_SelectLangID.load(), row);
    Pause(kLanguagePauseMs);
    if (!chosen || !cscHeader_) {
        // Nothing to select: the CSC image names no languages, or none was chosen.
        Log("[LNG:%d] No language selected: the handset keeps its language\r\n", port_);
        return true;
    }
    const int position = LanguagePosition(*cscHeader_, row);
    Log(lineFormat, port_, position, LanguageTable[row].szCode);
    return Command(kCmdSelectLanguage, static_cast<uint32_t>(job_.m_PortSlot[port_].nKind.load()),
                   static_cast<uint32_t>(position), LangIdOf(row));
}

bool PortWorker::Phone(Source source) {
    const bool component = source == Source::kComponent;
    if (component) {
        job_.ClearSelection(kKindPhone);
    }
    Log("[Phone:%d] Download to 0x%x \r\n", port_, job_.m_dwRamBase);
    ImageFile separate;
    ImageFile& file = component ? image_ : separate;
    uint32_t sum;
    uint64_t length;
    if (component) {
        SetKind(kKindPhone);
        if (!EnterComponent(kComponentPhone, "[Phone:%d] PHONE_ID is invalid \r\n")) {
            return false;
        }
        length = ComponentSize(kComponentPhone);
        sum = RegionByteSum(file, file.Position(), length);
    } else {
        const ImageSpan span = job_.Span(kKindPhone);
        Log("[Phone:%d] StartOffset: %d \r\n", port_, static_cast<int>(span.dwStart));
        Log("[Phone:%d] EndOffset: %d \r\n", port_, static_cast<int>(span.dwSize));
        SetKind(kKindPhone);
        if (!OpenImage(file, kKindPhone)) {
            return false;
        }
        sum = FileByteSum(file);
        length = span.dwSize > span.dwStart ? span.dwSize - span.dwStart : 0;
    }
    if (!Download(file, length)) {
        return false;
    }
    Status(kStatusChecksumWait);
    return Flash(kCmdWritePhone, 0, static_cast<uint32_t>(length), sum,
                 "[PHONE:%d] Writing flash error\r\n");
}

bool PortWorker::Telvik(Source source) {
    const bool component = source == Source::kComponent;
    ImageFile separate;
    ImageFile& file = component ? image_ : separate;
    if (component) {
        job_.ClearSelection(kKindTelvik);
        if (!EnterComponent(kComponentTelvik, "[TELVIK:%d] TELVIK_ID is invalid \r\n")) {
            return false;
        }
        Log("[TELVIK:%d] Download start 0x%x\r\n", port_, job_.m_dwRamBase);
        SetKind(kKindTelvik);
        return TelvikPartitions(file, file.Position(), source);
    }
    Log("[TELVIK:%d] Download start 0x%x\r\n", port_, job_.m_dwRamBase);
    SetKind(kKindTelvik);
    if (!OpenImage(file, kKindTelvik)) {
        return false;
    }
    switch (g_nTelvikType.load()) {
        case kTelvikMulti:
            return TelvikPartitions(file, 0, source);
        case kTelvikSingle:
            return SingleTelvik(file, 0, file.Length(), static_cast<uint32_t>(file.Length()),
                                source);
        default:
            return FailSilently();
    }
}

bool PortWorker::TelvikPartitions(ImageFile& file, uint64_t dataStart, Source source) {
    const uint64_t end =
        source == Source::kComponent ? dataStart + ComponentSize(kComponentTelvik) : file.Length();
    TelvikLayout layout;
    std::string error;
    if (!ReadTelvikLayout(file, dataStart, end, TelvikParts::kTwo, layout, error)) {
        Log("[TELVIK:%d] %s\r\n", port_, error.c_str());
        return Fail(kStatusReadError, kErrorSourceFile);
    }
    const TelvikHeader& header = layout.header;
    if (!job_.m_bPreserveContents && layout.hasFirst) {
        if (!Command(kCmdMarker, kKindTelvik, static_cast<uint32_t>(layout.firstDataLength),
                     kPhasePartitionBegin)) {
            return false;
        }
        if (!file.Seek(layout.firstDataOffset) ||
            !SendPieces(file, layout.firstDataLength, kCmdWriteFirstPartition,
                        "[TELVIK:%d] Writing flash error\r\n")) {
            return FailUnlessReported();
        }
        if (!EndMarkerAndCheckWord(kKindTelvik, header.dwFirstCheck, kPhasePartitionEnd, 5000)) {
            return false;
        }
        Pause(1000);
    }
    if (!Command(kCmdMarker, kKindTelvik, static_cast<uint32_t>(layout.secondDataLength),
                 kPhasePartitionBegin)) {
        return false;
    }
    if (!file.Seek(layout.secondDataOffset) ||
        !SendPieces(file, layout.secondDataLength, kCmdWriteSecondPartition,
                    "[TELVIK:%d] Writing flash error\r\n")) {
        return FailUnlessReported();
    }
    return EndMarkerAndCheckWord(kKindTelvik, header.dwSecondCheck, kPhasePartitionEnd,
                                 source == Source::kFile ? 20000 : 10000);
}

bool PortWorker::SingleTelvik(ImageFile& file, uint64_t partitionStart, uint64_t partitionLength,
                              uint32_t announcedLength, Source source) {
    if (!Command(kCmdMarker, kKindTelvik, announcedLength, kPhaseSinglePartitionBegin)) {
        return false;
    }
    if (!file.Seek(partitionStart) || !SendPieces(file, partitionLength, kCmdWriteSinglePartition,
                                                  "[TELVIK:%d] Writing flash error\r\n")) {
        return FailUnlessReported();
    }
    const uint32_t expected = job_.m_dwSingleTelvikSum.load();
    return EndMarkerAndCheckWord(kKindTelvik, expected, kPhasePartitionEnd,
                                 source == Source::kFile ? 10000 : 20000);
}

bool PortWorker::Contents(Source source) {
    const bool component = source == Source::kComponent;
    ImageFile separate;
    ImageFile& file = component ? image_ : separate;
    Log("[CONTENTS:%d] Download start 0x%x\r\n", port_, job_.m_dwRamBase);
    uint64_t dataStart = 0;
    uint64_t end;
    if (component) {
        job_.ClearSelection(kKindContents);
        if (!EnterComponent(kComponentContents, "[CONTENTS:%d] CONTENTS_ID is invalid \r\n")) {
            return false;
        }
        dataStart = file.Position();
        end = dataStart + ComponentSize(kComponentContents);
        SetKind(kKindContents);
    } else {
        SetKind(kKindContents);
        if (!OpenImage(file, kKindContents)) {
            return false;
        }
        end = file.Length();
    }
    TelvikLayout layout;
    std::string error;
    if (!ReadTelvikLayout(file, dataStart, end, TelvikParts::kFirstOnly, layout, error)) {
        Log("[CONTENTS:%d] %s\r\n", port_, error.c_str());
        return Fail(kStatusReadError, kErrorSourceFile);
    }
    if (job_.m_bPreserveContents || !layout.hasFirst) {
        return true;
    }
    if (!Command(kCmdMarker, kKindContents, static_cast<uint32_t>(layout.firstDataLength),
                 kPhasePartitionBegin)) {
        return false;
    }
    if (!file.Seek(layout.firstDataOffset) ||
        !SendPieces(file, layout.firstDataLength, kCmdWriteFirstPartition,
                    "[CONTENTS:%d] Writing flash error\r\n")) {
        return FailUnlessReported();
    }
    if (!EndMarkerAndCheckWord(kKindContents, layout.header.dwFirstCheck, kPhasePartitionEnd,
                               5000)) {
        return false;
    }
    Pause(1000);
    return true;
}

bool PortWorker::SmdJob() {
    const ImageSpan span = job_.Span(kKindSmd);
    Log("[SMD:%d] Download to 0x%x \r\n", port_, job_.m_dwRamBase);
    Log("[SMD:%d] Size: %d Bytes\r\n", port_, static_cast<int>(span.dwSize));
    Log("[SMD:%d] SMD Download start\r\n", port_);
    SetKind(kKindSmd);
    if (!Command(kCmdSmdStart, 0, 0, 0)) {
        return false;
    }
    ImageFile file;
    if (!OpenImage(file, kKindSmd) || !Download(file, kSmdHeaderSize)) {
        return false;
    }
    Log("[SMD:%d] NAND Format\r\n", port_);
    if (!Command(kCmdNandFormat, 0, 0, 0, ReplyWait::kLong)) {
        return false;
    }
    Log("[SMD:%d] END NAND Format\r\n", port_);
    for (;;) {
        if (Stopping()) {
            return false;
        }
        uint8_t reply[kReplySize] = {};
        if (!PostCommand(transport_, kCmdSmdNextRange, 0, 0, 0)) {
            return FailMissed({kCmdSmdNextRange, 0});
        }
        if (!AwaitReply(kCmdSmdNextRange, ReplyWait::kQuick, reply)) {
            return false;
        }
        if (std::memcmp(reply, kHandshakeAck, kReplySize) == 0) {
            return true;
        }
        uint32_t firstBlock = GetLE32(reply);
        if (!AwaitReply(kCmdSmdNextRange, ReplyWait::kQuick, reply)) {
            return false;
        }
        uint32_t blocks = GetLE32(reply);
        Log("[SMD:%d] nSMDStartSbn = %d nSMDNumOfBlks = %d\r\n", port_,
            static_cast<int>(firstBlock), static_cast<int>(blocks));
        const uint32_t perLoad = services_.smdBlocksPerLoad;
        while (blocks > perLoad) {
            if (!Download(file, uint64_t{perLoad} * kSmdBlockSize)) {
                return false;
            }
            if (!Command(kCmdSmdWriteBlocks, job_.m_dwRamBase, perLoad, firstBlock,
                         ReplyWait::kLong)) {
                return false;
            }
            firstBlock += perLoad;
            blocks -= perLoad;
        }
        if (!Download(file, uint64_t{blocks} * kSmdBlockSize)) {
            return false;
        }
        if (!Command(kCmdSmdWriteBlocks, job_.m_dwRamBase, blocks, firstBlock, ReplyWait::kLong)) {
            return false;
        }
    }
}

}  // namespace

uint32_t DownloadWorker(PortThreadParam* param, const WorkerServices& services) {
    PortWorker(*param, services).Run();
    return 0;
}

}  // namespace varnel
