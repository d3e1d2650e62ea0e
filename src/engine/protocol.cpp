#include "engine/protocol.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>

#include "images/bytesum.h"
#include "images/image_file.h"

namespace varnel {

namespace {

std::atomic<uint32_t> g_commandReplyMs{ProtocolTimeouts{}.commandReplyMs};
std::atomic<uint32_t> g_flashProgressMs{ProtocolTimeouts{}.flashProgressMs};
std::atomic<uint32_t> g_handshakeMs{ProtocolTimeouts{}.handshakeMs};
std::atomic<uint32_t> g_longOperationMs{ProtocolTimeouts{}.longOperationMs};
std::atomic<uint32_t> g_stillRunningMs{ProtocolTimeouts{}.stillRunningMs};

// A read that ends this much before its time-out with nothing has ended for another reason.
constexpr uint64_t kEarlyEndSlackMs = 20;

using Packet = std::array<uint8_t, kPacketSize>;

bool WritePacket(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
    if (!transport.IsOpen()) {
        return false;
    }
    Packet packet{};
    BuildPacketHeader(packet.data(), code, a1, a2, a3);
    transport.SetIoTimeout(g_commandReplyMs.load());
    transport.Write(packet.data(), kPacketSize);
    return true;
}

void SendStatus(StatusSink& window, uint32_t code, int port, uint32_t argument) {
    window.SendDownloadStatus(code, StatusParam(port, argument));
}

void NoteMissed(MissedReply* missed, uint32_t code, uint32_t waitedMs) {
    if (missed != nullptr) {
        *missed = {code, waitedMs};
    }
}

// Sends one RAM chunk whose data already sits in packet[16..16+length) and checks the reply.
uint32_t SendChunk(CUsbInterface& transport, Packet& packet, uint32_t address, uint32_t length,
                   int& errorSource, MissedReply* missed) {
    const uint32_t sum = ByteSum32(packet.data() + kPacketHeaderSize, length);
    BuildPacketHeader(packet.data(), kCmdRamChunk, address, length, sum);
    transport.Write(packet.data(), kPacketSize);
    uint8_t reply[kReplySize] = {};
    if (ReadReply(transport, reply) != kReplySize) {
        NoteMissed(missed, kCmdRamChunk, ReplyLimitMs(ReplyWait::kQuick));
        errorSource = kErrorSourceDevice;
        return kStatusReadError;
    }
    return GetLE32(reply) == sum ? 0u : static_cast<uint32_t>(kStatusChecksumError);
}

}  // namespace

ProtocolTimeouts GetProtocolTimeouts() {
    return {g_commandReplyMs.load(), g_flashProgressMs.load(), g_handshakeMs.load(),
            g_longOperationMs.load(), g_stillRunningMs.load()};
}

void SetProtocolTimeouts(const ProtocolTimeouts& timeouts) {
    g_commandReplyMs = timeouts.commandReplyMs;
    g_flashProgressMs = timeouts.flashProgressMs;
    g_handshakeMs = timeouts.handshakeMs;
    g_longOperationMs = timeouts.longOperationMs;
    g_stillRunningMs = timeouts.stillRunningMs;
}

uint32_t ReplyLimitMs(ReplyWait wait) {
    return wait == ReplyWait::kLong ? g_longOperationMs.load() : g_commandReplyMs.load();
}

void PutLE32(uint8_t* buffer, uint32_t value) {
    buffer[0] = static_cast<uint8_t>(value);
    buffer[1] = static_cast<uint8_t>(value >> 8);
    buffer[2] = static_cast<uint8_t>(value >> 16);
    buffer[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLE32(const uint8_t* buffer) {
    return static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
           static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
}

void BuildPacketHeader(uint8_t* packet, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
    PutLE32(packet, code);
    PutLE32(packet + 4, a1);
    PutLE32(packet + 8, a2);
    PutLE32(packet + 12, a3);
}

uint32_t ReadReplyWithin(CUsbInterface& transport, uint8_t (&reply)[kReplySize], uint32_t limitMs,
                         const std::function<bool(uint32_t waitedMs)>& stillRunning) {
    using Clock = std::chrono::steady_clock;
    const auto MillisecondsSince = [](Clock::time_point from) {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count());
    };
    const uint64_t slice = std::max<uint32_t>(1, g_stillRunningMs.load());
    const auto start = Clock::now();
    auto lastReport = start;
    uint32_t got = 0;
    while (got < kReplySize && transport.IsOpen()) {
        const uint64_t waited = MillisecondsSince(start);
        if (waited >= limitMs) {
            break;
        }
        const uint64_t sinceReport = MillisecondsSince(lastReport);
        if (sinceReport >= slice) {
            lastReport = Clock::now();
            if (stillRunning && !stillRunning(static_cast<uint32_t>(waited))) {
                break;
            }
            continue;
        }
        const auto wait = static_cast<uint32_t>(std::min(limitMs - waited, slice - sinceReport));
        transport.SetIoTimeout(wait);
        const auto readStart = Clock::now();
        const uint32_t count = transport.ReadWait(reply + got, kReplySize - got);
        got += count;
        // Nothing, long before the wait was over: the device has gone, no point waiting on.
        if (count == 0 && MillisecondsSince(readStart) + kEarlyEndSlackMs < wait) {
            break;
        }
    }
    return got;
}

uint32_t ReadReply(CUsbInterface& transport, uint8_t (&reply)[kReplySize]) {
    return ReadReplyWithin(transport, reply, g_commandReplyMs.load());
}

bool SendCommand(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
                 ReplyWait wait) {
    if (!WritePacket(transport, code, a1, a2, a3)) {
        return false;
    }
    uint8_t reply[kReplySize] = {};
    return ReadReplyWithin(transport, reply, ReplyLimitMs(wait)) == kReplySize;
}

bool PostCommand(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
    return WritePacket(transport, code, a1, a2, a3);
}

uint32_t SendVersionQuery(CUsbInterface& transport, uint8_t (&reply)[kReplySize],
                          uint32_t timeoutMs) {
    if (!WritePacket(transport, kCmdQueryVersion, 0, 0, 0)) {
        return 0;
    }
    transport.SetIoTimeout(timeoutMs);
    return transport.ReadWait(reply, kReplySize);
}

uint32_t DownloadToRam(CUsbInterface& transport, int port, StatusSink& window, ImageFile& file,
                       uint64_t start, uint64_t end, uint32_t ramBase, uint32_t kind,
                       int& errorSource, MissedReply* missed) {
    const uint64_t length = end > start ? end - start : 0;
    const uint32_t fullChunks = static_cast<uint32_t>(length / kChunkDataSize);
    const uint32_t rest = static_cast<uint32_t>(length % kChunkDataSize);

    if (!SendCommand(transport, kCmdBeginRamDownload, kind, fullChunks, 0)) {
        NoteMissed(missed, kCmdBeginRamDownload, ReplyLimitMs(ReplyWait::kQuick));
        errorSource = kErrorSourceDevice;
        return kStatusReadError;
    }

    const uint32_t divisor = fullChunks / 100 > 0 ? fullChunks / 100 : 1;
    uint32_t lastProgress = 0;
    uint32_t offset = 0;
    Packet packet{};
    for (uint32_t chunk = 0; chunk < fullChunks; ++chunk) {
        if (!file.ReadExact(packet.data() + kPacketHeaderSize, kChunkDataSize)) {
            errorSource = kErrorSourceFile;
            return kStatusReadError;
        }
        if (const uint32_t result = SendChunk(transport, packet, ramBase + offset, kChunkDataSize,
                                              errorSource, missed)) {
            return result;
        }
        const uint32_t progress = chunk / divisor;
        if (progress != lastProgress) {
            lastProgress = progress;
            SendStatus(window, kStatusRamProgress, port, progress);
        }
        offset += kChunkDataSize;
    }
    if (rest == 0) {
        return 0;
    }
    // The tail chunk leaves stale bytes of the previous chunk in the payload beyond `rest`;
    // they are outside the announced length and so carry no meaning.
    if (!file.ReadExact(packet.data() + kPacketHeaderSize, rest)) {
        errorSource = kErrorSourceFile;
        return kStatusReadError;
    }
    if (const uint32_t result =
            SendChunk(transport, packet, ramBase + offset, rest, errorSource, missed)) {
        return result;
    }
    const uint32_t progress = fullChunks / divisor;
    if (progress != lastProgress) {
        SendStatus(window, kStatusRamProgress, port, progress);
    }
    return 0;
}

int WriteFlash(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
               StatusSink& window, int port, MissedReply* missed) {
    if (!WritePacket(transport, code, a1, a2, a3)) {
        SendStatus(window, kStatusFlashFailed, port, 0);
    }
    // A missing or short echo is no echo, even when a3 is 0 (piece 0): the reply word's
    // starting value must not pass for it.
    uint8_t reply[kReplySize] = {};
    if (ReadReply(transport, reply) != kReplySize) {
        NoteMissed(missed, code, ReplyLimitMs(ReplyWait::kQuick));
        SendStatus(window, kStatusFlashNoAck, port, 0);
        return 1;
    }
    if (GetLE32(reply) != a3) {
        SendStatus(window, kStatusFlashNoAck, port, 0);
        return 1;
    }
    uint8_t lastProgress = 0;
    for (;;) {
        std::memcpy(reply, "HERA", kReplySize);
        if (ReadReplyWithin(transport, reply, g_flashProgressMs.load()) != kReplySize) {
            NoteMissed(missed, code, g_flashProgressMs.load());
        }
        if (std::memcmp(reply, kFlashDone, kReplySize) == 0) {
            return 0;
        }
        if (reply[0] == 'O' && reply[1] == 'K' && reply[2] == 'U') {
            if (reply[3] == kFlashProgressFailed) {
                SendStatus(window, kStatusFlashFailed, port, kFlashProgressFailed);
                return 1;
            }
            lastProgress = reply[3];
            SendStatus(window, kStatusFlashProgress, port, lastProgress);
            continue;
        }
        SendStatus(window, kStatusFlashNoAck, port, lastProgress);
        return 1;
    }
}

}  // namespace varnel
