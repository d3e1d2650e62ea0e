// A virtual handset: the device side of the boot loader's download protocol, answering exactly
// as a real boot loader does, recording what it "flashed", and misbehaving on request.
#pragma once

#include <cstdint>
#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

class Clock;

// Faults the handset can be asked to show. Counts are 0-based unless stated.
struct HandsetFaults {
    // Answer RAM chunk number `wrongChunkSumAt` (counted over the handset's life) with a wrong sum.
    std::optional<uint64_t> wrongChunkSumAt;
    // Reply to command packet number `shortReplyAt` (counted over the handset's life) with only
    // 2 bytes, or with nothing (`missingReplyAt`).
    std::optional<uint64_t> shortReplyAt;
    std::optional<uint64_t> missingReplyAt;
    // Stop answering anything from command packet number `stallAt` on (the host times out).
    std::optional<uint64_t> stallAt;
    // Vanish from the bus once this many bytes have come from the host.
    std::optional<uint64_t> disconnectAfterBytes;
    // Flash write number `flashFailAt` reports progress 105 (failure); `flashNoAckAt` answers
    // garbage instead of a progress word; `flashWrongEchoAt` echoes a wrong argument 3.
    std::optional<uint64_t> flashFailAt;
    std::optional<uint64_t> flashNoAckAt;
    std::optional<uint64_t> flashWrongEchoAt;
    // Answer check word number `wrongCheckWordAt` (after an image or partition end) wrongly.
    std::optional<uint64_t> wrongCheckWordAt;
    // Refuse the "ATUD" handshake this many times (answering "NOUD") before accepting.
    uint32_t refuseHandshakes = 0;
    // Come back after the reattach only after this long (milliseconds of the handset's Clock);
    // with `neverReattach` it does not come back at all.
    uint32_t reattachDelayMs = 0;
    bool neverReattach = false;
};

// Real-time pace, so demos and benchmarks can run like a bench; zero by default.
struct HandsetTiming {
    uint32_t roundTripMicros = 0;     // added before every reply becomes readable
    uint64_t flashBytesPerSecond = 0;  // 0 = instant flash writes
};

enum class RecordMode {
    kBytes,   // keep every flashed byte (small images in tests)
    kDigest,  // keep only length, ByteSum32 and a 64-bit hash (bounded memory)
};

// 64-bit digest of a byte stream, cheap enough to run at memory speed.
class StreamDigest {
public:
    void Update(const uint8_t* data, size_t size);
    uint64_t Value() const;
    uint64_t Length() const { return length_; }
    static uint64_t Of(const std::vector<uint8_t>& bytes);

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
    uint64_t length_ = 0;
    uint8_t pending_[8] = {};
    size_t pendingSize_ = 0;
};

// One flash write (codes 4, 1004..1014) or SMD block write (1023) as the handset performed it.
struct FlashRecord {
    uint32_t code = 0;
    uint32_t kind = 0;  // argument 1 of the last RAM-download begin (command 7)
    uint32_t a1 = 0, a2 = 0, a3 = 0;
    uint64_t length = 0;
    uint32_t byteSum = 0;
    uint64_t digest = 0;
    std::vector<uint8_t> bytes;  // only in RecordMode::kBytes
};

// Every command packet, in order; consecutive RAM chunks collapse into one record (`repeat`).
struct CommandRecord {
    uint32_t code = 0;
    uint32_t a1 = 0, a2 = 0, a3 = 0;
    uint64_t repeat = 1;
};

struct HandsetConfig {
    std::string instance = "SIM0000";  // the serial part of the device path
    uint32_t bootloaderVersion = 0x20090206;
    uint32_t versionAfterReattach = 0x20100101;
    // Percentages reported during every flash write before "OKDN".
    std::vector<uint8_t> flashProgress = {25, 50, 75, 100};
    // SMD block ranges (first block, count) the handset asks for, in order; "OKUD" afterwards.
    std::vector<std::pair<uint32_t, uint32_t>> smdRanges;
    RecordMode recordMode = RecordMode::kBytes;
    HandsetFaults faults;
    HandsetTiming timing;
};

// The handset's side of one host write: the bytes it queues for the host to read, and whether
// it leaves the bus (disconnect fault, or the reattach after command 20).
struct HandsetResponse {
    std::vector<uint8_t> reply;
    bool disconnect = false;
    bool reattach = false;  // leave now, come back after the reattach delay with the new version
};

class VirtualHandset {
public:
    explicit VirtualHandset(HandsetConfig config);

    const HandsetConfig& Config() const { return config_; }

    // Consumes one write from the host (a 4-byte handshake word or a 2048-byte packet).
    HandsetResponse HandleHostWrite(const uint8_t* data, size_t size);

    // What has been done so far (copies, safe to call from any thread).
    std::vector<FlashRecord> Flashed() const;
    std::vector<CommandRecord> Commands() const;
    uint32_t CurrentVersion() const;
    bool Launched() const;
    // Language selection (command 9) as received: (kind, position, packed code).
    std::vector<std::array<uint32_t, 3>> LanguageSelections() const;
    uint64_t HostBytesReceived() const;

    // Concatenation of what every flash write of `code` recorded, in order (kBytes mode).
    std::vector<uint8_t> FlashedBytes(uint32_t code) const;

private:
    // ... implementation state
};

}  // namespace varnel
