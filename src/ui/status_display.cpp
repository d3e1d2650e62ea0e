#include "ui/status_display.h"

#include <algorithm>

#include "engine/download_job.h"
#include "engine/log_sink.h"
#include "engine/status.h"

namespace varnel {
namespace {

constexpr uint32_t kFullBar = 100;
constexpr uint32_t kReconnectAttempts = 20;
constexpr uint32_t kFromFile = 1;

const char* RamProgressFormat(int kind) {
    switch (kind) {
        case kKindEboot:
            return "Downloading eBoot IMG to RAM... %d%%";
        case kKindPda:
            return "Downloading PDA IMG to RAM... %d%%";
        case kKindCsc:
            return "Downloading CSC IMG to RAM... %d%%";
        case kKindTelvik:
            return "Downloading TLVK IMG to RAM.. %d%%";
        case kKindPhone:
            return "Downloading Phone IMG to RAM... %d%%";
        case kKindSmd:
            return "Downloading SMD IMG to RAM.. %d%%";
        case kKindIntegrated:
            return "Downloading Integrated IMG to RAM.. %d%%";
        case kKindContents:
            return "Downloading Contents IMG to RAM.. %d%%";
        default:
            return "Downloading IMG to RAM... %d%%";
    }
}

const char* FlashProgressFormat(int kind) {
    switch (kind) {
        case kKindCsc:
            return "Writing CSC image to flash %d%%";
        case kKindTelvik:
            return "Writing Telvik image to flash %d%%";
        case kKindPhone:
            return "Writing Phone image to flash %d%%";
        case kKindSmd:
            return "Writing SMD image to flash %d%%";
        case kKindIntegrated:
            return "Writing Integrated image to flash %d%%";
        case kKindContents:
            return "Writing Contents image to flash %d%%";
        default:
            return "Writing PDA image to flash %d%%";
    }
}

// The failure texts that name Phone, CSC or (for every other kind) PDA.
const char* ByPhoneCscPda(int kind, const char* phone, const char* csc, const char* pda) {
    return kind == kKindPhone ? phone : kind == kKindCsc ? csc : pda;
}

StatusDisplay Progress(const char* format, uint32_t arg) {
    const uint32_t percent = std::min(arg, kFullBar);
    return {FormatEntry(format, static_cast<int>(percent)), static_cast<int>(percent)};
}

StatusDisplay Failure(std::string text) {
    StatusDisplay display{std::move(text)};
    display.bFailed = true;
    return display;
}

}  // namespace

StatusDisplay DescribeStatus(uint32_t code, uint32_t arg, int kind) {
    const int value = static_cast<int>(arg);
    switch (code) {
        case kStatusEbootFlashing:
            return {"Writing eboot to flash ...", kFullBar};
        case kStatusReconnect:
            if (arg >= kReconnectAttempts) {
                return {"Reconnect Success", kFullBar};
            }
            return {FormatEntry("Reconnect Waiting(%d)", value), value * 5};
        case kStatusRamProgress:
            return Progress(RamProgressFormat(kind), arg);
        case kStatusChecksumWait:
            return {"Calculating checksum ..."};
        case kStatusFlashProgress:
            return Progress(FlashProgressFormat(kind), arg);
        case kStatusFlashNoAck:
            return Failure(
                FormatEntry(ByPhoneCscPda(kind, "[FAIL] Writing Phone flash noACK ...%d%%",
                                          "[FAIL] Writing CSC flash noACK ...%d%%",
                                          "[FAIL] Writing PDA flash noACK ...%d%%"),
                            value));
        case kStatusReadError:
            if (kind == kKindEboot) {
                return Failure(arg == kFromFile ? "[FAIL] EBOOT read error from file"
                                                : "[FAIL] EBOOT read error from usb");
            }
            return Failure(arg == kFromFile ? "[FAIL] read error from file"
                                            : "[FAIL] read error from usb");
        case kStatusFlashFailed:
            return Failure(FormatEntry(ByPhoneCscPda(kind, "[FAIL] Writing Phone to flash %d%%",
                                                     "[FAIL] Writing CSC to flash %d%%",
                                                     "[FAIL] Writing PDA to flash %d%%"),
                                       value));
        case kStatusChecksumError:
            if (kind == kKindEboot) {
                return Failure("[FAIL] Eboot Checksum !!");
            }
            return Failure(ByPhoneCscPda(kind, "[FAIL] Phone Checksum !!", "[FAIL] CSC Checksum !!",
                                         "[FAIL] PDA Checksum !!"));
        case kStatusReconnectFailed:
            return Failure("[FAIL] bootloader Reconnect");
        case kStatusWaitForBoot:
            return {"Please wait for booting completely"};
        case kStatusIntegratedError:
            return Failure(arg == kFromFile ? "[FAIL] Integrated IMG read error from file"
                                            : "[FAIL] Integrated IMG read error from usb");
        case kStatusJobDone: {
            StatusDisplay display{FormatEntry("Job Done.%s", arg == 0 ? "Launched!!" : ""),
                                  kFullBar};
            display.bFinished = true;
            return display;
        }
        default:
            return {};
    }
}

}  // namespace varnel
