// A virtual handset: the device side of the boot loader's download protocol, answering exactly
// as a real boot loader does, recording what it "flashed", and misbehaving on request.
//
// What it flashes: a flash write (4, 1004..1014) or SMD block write (1023) takes the RAM download
// that came since the last begin of a RAM download (command 7): in bytes mode the chunks as
// stored at their addresses (relative to the download's first chunk), in digest mode the chunk
// stream's length, ByteSum32 and StreamDigest.
//
// Check words: after a marker of phase 1 or 3 the handset answers, besides the marker's own
// reply, the ByteSum32 of every byte flashed by the flash-write exchanges (1004..1014) since the
// last begin marker (phase 0, 2 or 4). An image builder makes a matching check word by summing
// the bytes the host will send for that image or partition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/reply_queue.h"

namespace varnel {

// Faults the handset can be asked to show. Counts are 0-based and run over the handset's life.
struct HandsetFaults {
    // Answer RAM chunk number `wrongChunkSumAt` with a wrong sum.
    std::optional<uint64_t> wrongChunkSumAt;
    // Cut the whole reply to command packet number `shortReplyAt` to its first 2 bytes, or send
    // none at all for packet `missingReplyAt` (the command itself is still carried out).
    std::optional<uint64_t> shortReplyAt;
    std::optional<uint64_t> missingReplyAt;
    // From command packet number `stallAt` on, do nothing and answer nothing (the host times out).
    std::optional<uint64_t> stallAt;
    // Vanish from the bus during the write that would bring the bytes received from the host
    // past this count; that write is not handled.
    std::optional<uint64_t> disconnectAfterBytes;
    // Flash write number k (codes 4 and 1004..1014): `flashFailAt` reports progress 105 after
    // the first configured progress word; `flashNoAckAt` answers a garbage word there instead;
    // `flashWrongEchoAt` echoes a wrong argument 3 and stops. None of them flashes anything.
    std::optional<uint64_t> flashFailAt;
    std::optional<uint64_t> flashNoAckAt;
    std::optional<uint64_t> flashWrongEchoAt;
    // Answer check word number `wrongCheckWordAt` (after a phase 1 or 3 marker) wrongly.
    std::optional<uint64_t> wrongCheckWordAt;
    // Leave check word number `missingCheckWordAt` out (the marker itself is answered).
    std::optional<uint64_t> missingCheckWordAt;
    // Hold every reply to command `code` back by `delayMs` more (a slow operation).
    struct SlowReply {
        uint32_t code = 0;
        uint32_t delayMs = 0;
    };
    std::optional<SlowReply> slowReply;
    // Refuse the "ATUD" handshake this many times (answering "NOUD") before accepting.
    uint32_t refuseHandshakes = 0;
    // Come back after the reattach only this long after leaving (milliseconds of the bus's
    // Clock); with `neverReattach` it does not come back at all.
    uint32_t reattachDelayMs = 0;
    bool neverReattach = false;
};

// Real-time pace, so demos and benchmarks can run like a bench; zero by default.
struct HandsetTiming {
    uint32_t roundTripMicros = 0;      // before every reply becomes readable
    uint64_t flashBytesPerSecond = 0;  // 0 = instant flash writes
};

enum class RecordMode {
    kBytes,   // keep every flashed byte (small images in tests)
    kDigest,  // keep only length, ByteSum32 and a 64-bit digest (bounded memory)
};

// 64-bit digest of a byte stream, cheap enough to run at memory speed. The value depends only on
// the bytes, not on how they were split between Update calls.
class StreamDigest {
  public:
    StreamDigest();
    void Update(const uint8_t* data, size_t size);
    uint64_t Value() const;
    uint64_t Length() const { return length_; }
    static uint64_t Of(const uint8_t* data, size_t size);
    static uint64_t Of(const std::vector<uint8_t>& bytes) { return Of(bytes.data(), bytes.size()); }

  private:
    static constexpr size_t kStripe = 32;
    void Consume(const uint8_t* stripes, size_t count);

    uint64_t lanes_[4];
    uint64_t length_ = 0;
    uint8_t pending_[kStripe] = {};
    size_t pendingSize_ = 0;
};

// One flash write (4, 1004..1014) or SMD block write (1023) as the handset performed it.
struct FlashRecord {
    uint32_t code = 0;
    uint32_t kind = 0;  // argument 1 of the last RAM-download begin (command 7)
    uint32_t a1 = 0, a2 = 0, a3 = 0;
    uint64_t length = 0;
    uint32_t byteSum = 0;
    uint64_t digest = 0;
    std::vector<uint8_t> bytes;  // only in RecordMode::kBytes
};

// Every command packet, in order. A run of consecutive RAM chunks is one record: `a1` the first
// chunk's address, `a2` the bytes of the whole run, `a3` 0, `repeat` the number of chunks.
struct CommandRecord {
    uint32_t code = 0;
    uint32_t a1 = 0, a2 = 0, a3 = 0;
    uint64_t repeat = 1;

    friend bool operator==(const CommandRecord&, const CommandRecord&) = default;
};

struct HandsetConfig {
    std::string instance = "SIM0000";  // the serial part of the device path
    uint32_t bootloaderVersion = 0x20090206;
    uint32_t versionAfterReattach = 0x20100101;
    // Percentages reported during every flash write before "OKDN".
    std::vector<uint8_t> flashProgress = {25, 50, 75, 100};
    // SMD block ranges (first block, count) the handset asks for, in order; "OKUD" afterwards.
    // When empty, it asks for the blocks the SMD header announces (see SmdHeaderBlocks), in
    // ranges of at most `smdRangeBlocks`.
    std::vector<std::pair<uint32_t, uint32_t>> smdRanges;
    uint32_t smdRangeBlocks = 1000;
    RecordMode recordMode = RecordMode::kBytes;
    // Bytes mode only: the largest RAM download it keeps; chunks beyond are answered, not kept.
    uint64_t ramLimit = 256ull << 20;
    HandsetFaults faults;
    HandsetTiming timing;
};

// The handset a program's --simulate plugs in as port `index`: "SIM<index>", keeping digests of
// what it flashes, paced like a handset on a high-speed port so that a window keeps up with every
// port's reports.
HandsetConfig DemoHandsetConfig(int index);

// What becomes of the handset's place on the bus after a host write.
enum class HandsetExit {
    kStay,
    kUnplug,    // gone for good (disconnect fault); the write's replies are lost
    kReattach,  // leaves after its reply (command 20), back after the reattach delay
    kLeave,     // leaves after its reply and never comes back
};

struct HostWriteResult {
    HandsetExit exit = HandsetExit::kStay;
    uint32_t reattachDelayMs = 0;
};

// The block count an SMD header announces to the simulated handset: "SMDB" at offset 0, the
// count (little-endian) at offset 4. Images made by the image builder carry it; a header without
// it announces nothing.
inline constexpr char kSmdHeaderMagic[4] = {'S', 'M', 'D', 'B'};
std::optional<uint32_t> SmdHeaderBlocks(const uint8_t* header, size_t size);
// The ranges covering `blocks` blocks from block 0, each of at most `perRange` blocks.
std::vector<std::pair<uint32_t, uint32_t>> SmdRangesCovering(uint32_t blocks, uint32_t perRange);

// Thread-safe: one host at a time writes, while tests may read the records from any thread.
class VirtualHandset {
  public:
    explicit VirtualHandset(HandsetConfig config);

    HandsetConfig Config() const;
    void SetFaults(const HandsetFaults& faults);

    // Consumes one write from the host (a 4-byte handshake word or a 2048-byte packet) and queues
    // the answer on `replies`. Anything else is counted as malformed and answered sanely.
    HostWriteResult HandleHostWrite(const uint8_t* data, size_t size, ReplyQueue& replies);

    // What has been done so far (copies).
    std::vector<FlashRecord> Flashed() const { return Locked(flashed_); }
    std::vector<CommandRecord> Commands() const { return Locked(commands_); }
    // Concatenation of what every flash write of `code` recorded, in order (bytes mode).
    std::vector<uint8_t> FlashedBytes(uint32_t code) const;
    // Language selections (command 9) as received: (kind, position, packed code).
    std::vector<std::array<uint32_t, 3>> LanguageSelections() const { return Locked(languages_); }
    uint32_t CurrentVersion() const { return Locked(version_); }
    bool Launched() const { return Locked(launched_); }
    uint64_t HostBytesReceived() const { return Locked(hostBytes_); }
    uint64_t HandshakeRequests() const { return Locked(handshakes_); }
    uint64_t Reattaches() const { return Locked(reattaches_); }
    // Writes of a wrong size, unknown words or codes, over-long chunks.
    uint64_t MalformedWrites() const { return Locked(malformed_); }
    // RAM chunks whose address did not continue the download where the previous one ended.
    uint64_t OutOfPlaceChunks() const { return Locked(outOfPlaceChunks_); }

  private:
    class Answer;

    template <typename T>
    T Locked(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

    void HandleHandshake(const uint8_t* word, Answer& answer);
    void HandlePacket(const uint8_t* packet, Answer& answer, HostWriteResult& result);
    void HandleChunk(uint32_t address, uint32_t length, const uint8_t* payload, Answer& answer);
    void HandleFlashWrite(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3, Answer& answer);
    void HandleMarker(uint32_t phase, Answer& answer);
    void BeginRamDownload(uint32_t kind);
    void LogCommand(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3);
    FlashRecord RecordDownload(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) const;
    uint64_t FlashMicros(uint64_t length) const;

    mutable std::mutex mutex_;
    HandsetConfig config_;
    uint32_t version_;
    bool launched_ = false;

    uint64_t hostBytes_ = 0;
    uint64_t packets_ = 0;
    uint64_t chunks_ = 0;
    uint64_t flashWrites_ = 0;
    uint64_t checkWords_ = 0;
    uint64_t handshakes_ = 0;
    uint64_t reattaches_ = 0;
    uint64_t malformed_ = 0;
    uint64_t outOfPlaceChunks_ = 0;
    uint32_t handshakesRefused_ = 0;
    bool stalled_ = false;

    // The RAM download since the last command 7.
    uint32_t kind_ = 0;
    bool downloadStarted_ = false;  // a chunk has come since command 7
    uint32_t downloadBase_ = 0;     // address of its first chunk
    uint32_t nextAddress_ = 0;
    std::vector<uint8_t> ram_;  // bytes mode: contents from downloadBase_
    uint64_t streamLength_ = 0;
    uint32_t streamSum_ = 0;
    StreamDigest streamDigest_;

    uint32_t checkSum_ = 0;  // flashed by 1004..1014 since the last begin marker
    // The ranges this SMD download asks for: the configured ones, or at an SMD start without
    // any, those its header announces.
    std::vector<std::pair<uint32_t, uint32_t>> smdRanges_;
    bool smdHeaderDue_ = false;
    size_t nextSmdRange_ = 0;

    std::vector<FlashRecord> flashed_;
    std::vector<CommandRecord> commands_;
    std::vector<std::array<uint32_t, 3>> languages_;
};

}  // namespace varnel
