// The boot loader's command protocol: 2048-byte packets out, 4-byte replies back, RAM downloads
// in 2032-byte chunks acknowledged by their byte sums, and the flash-write exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/status.h"
#include "transport/usb_interface.h"

namespace varnel {

class ImageFile;

inline constexpr uint32_t kPacketSize = 2048;
inline constexpr uint32_t kPacketHeaderSize = 16;
inline constexpr uint32_t kChunkDataSize = kPacketSize - kPacketHeaderSize;  // 2032
inline constexpr uint32_t kReplySize = 4;

enum CommandCode : uint32_t {
    kCmdRamChunk = 1,
    kCmdLaunch = 2,
    kCmdWriteEboot = 4,
    kCmdJobPlan = 5,
    kCmdBeginRamDownload = 7,
    kCmdMarker = 8,
    kCmdSelectLanguage = 9,
    kCmdQueryVersion = 13,
    kCmdPrepareReattach = 20,
    kCmdWritePhone = 1004,
    kCmdWriteCsc = 1005,
    kCmdWritePdaPiece = 1006,
    kCmdWriteLangPack = 1007,
    kCmdWriteFirstPartition = 1008,
    kCmdWriteSecondPartition = 1013,
    kCmdWriteSinglePartition = 1014,
    kCmdSmdStart = 1020,
    kCmdNandFormat = 1021,
    kCmdSmdNextRange = 1022,
    kCmdSmdWriteBlocks = 1023,
};

// Phases of kCmdMarker (argument 3).
enum MarkerPhase : uint32_t {
    kPhasePdaBegin = 0,
    kPhasePdaEnd = 1,
    kPhasePartitionBegin = 2,
    kPhasePartitionEnd = 3,
    kPhaseSinglePartitionBegin = 4,
};

// Bits of the image mask of kCmdJobPlan.
inline constexpr uint32_t kMaskEboot = 1u << 0;
inline constexpr uint32_t kMaskPda = 1u << 1;
inline constexpr uint32_t kMaskCsc = 1u << 2;
inline constexpr uint32_t kMaskPhone = 1u << 3;
inline constexpr uint32_t kMaskTelvik = 1u << 4;
inline constexpr uint32_t kMaskContents = 1u << 5;

// Handshake words, sent and compared byte for byte.
inline constexpr char kHandshakeRequest[4] = {'A', 'T', 'U', 'D'};
inline constexpr char kHandshakeAck[4] = {'O', 'K', 'U', 'D'};
// Flash-write progress words: "OKU" + percent, then "OKDN".
inline constexpr char kFlashDone[4] = {'O', 'K', 'D', 'N'};
inline constexpr uint8_t kFlashProgressFailed = 105;

// How long a reply may take. Replies come in two classes: quick ones (acknowledgements of
// commands) and long operations (NAND format, SMD block writes, the EBoot programming echo, check
// words after an image or partition, erasing when the job plan asks for it), which a real
// handset may take minutes over. A read that times out returns what it has; the worker fails the
// port on it rather than reading on with the reply stream out of step.
struct ProtocolTimeouts {
    uint32_t commandReplyMs = 10'000;
    // The gap between two flash-write progress words: a slow flash erase can take minutes.
    uint32_t flashProgressMs = 300'000;
    // The attach handshake runs on the window thread, so a silent device must not hold it long.
    uint32_t handshakeMs = 2'000;
    uint32_t longOperationMs = 600'000;
    // How often a long wait is reported as still running.
    uint32_t stillRunningMs = 30'000;
};
ProtocolTimeouts GetProtocolTimeouts();
void SetProtocolTimeouts(const ProtocolTimeouts& timeouts);

enum class ReplyWait { kQuick, kLong };
uint32_t ReplyLimitMs(ReplyWait wait);

// A reply that did not come in full within its limit: the command it answers and the wait.
struct MissedReply {
    uint32_t code = 0;
    uint32_t waitedMs = 0;
};

void PutLE32(uint8_t* buffer, uint32_t value);
uint32_t GetLE32(const uint8_t* buffer);

// Fills the 16-byte header of a command packet (code and three arguments, little-endian).
void BuildPacketHeader(uint8_t* packet, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3);

// Each writes one 2048-byte packet (payload zero) and returns false at once when the transport
// is not open. SendCommand then reads the 4-byte reply and is true only when all of it came
// within the limit of `wait`; PostCommand reads nothing.
bool SendCommand(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
                 ReplyWait wait = ReplyWait::kQuick);
bool PostCommand(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3);

// Reads one whole 4-byte reply, gathering the pieces a transport may split it into, for at most
// `limitMs`. A long wait runs in slices of the still-running interval; `stillRunning` (may be
// empty) is told the milliseconds waited after each slice that ends without the reply, and
// returns false to give up. The number of reply bytes that came.
uint32_t ReadReplyWithin(CUsbInterface& transport, uint8_t (&reply)[kReplySize], uint32_t limitMs,
                         const std::function<bool(uint32_t waitedMs)>& stillRunning = {});
// ReadReplyWithin with the quick limit.
uint32_t ReadReply(CUsbInterface& transport, uint8_t (&reply)[kReplySize]);

// Writes the version query (code 13) and reads its reply into `reply` (left as it was where no
// byte came), waiting at most `timeoutMs`; the number of reply bytes that came.
uint32_t SendVersionQuery(CUsbInterface& transport, uint8_t (&reply)[kReplySize],
                          uint32_t timeoutMs);

// Error sources of DownloadToRam's 209.
inline constexpr int kErrorSourceDevice = 0;
inline constexpr int kErrorSourceFile = 1;

// Sends `end - start` bytes from the file's current position into RAM from `ramBase`:
// command 7 (`kind`, full chunks, 0), then one chunk per packet, each checked against the
// device's sum, with status 204 as the percentage moves. 0 on success, 209 (with
// `errorSource`) when the file ends early or a reply is missing (then `missed` says which), 212
// on a sum mismatch.
uint32_t DownloadToRam(CUsbInterface& transport, int port, StatusSink& window, ImageFile& file,
                       uint64_t start, uint64_t end, uint32_t ramBase, uint32_t kind,
                       int& errorSource, MissedReply* missed = nullptr);

// The flash-write exchange: the packet, the echo of a3, then "OKU"+percent words (status 206)
// until "OKDN". 0 written, 1 failed (after status 208 or 210); a reply that did not come in time
// is named in `missed`.
int WriteFlash(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
               StatusSink& window, int port, MissedReply* missed = nullptr);

}  // namespace varnel
