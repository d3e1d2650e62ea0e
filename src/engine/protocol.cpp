#include "engine/protocol.h"

#include <array>
#include <atomic>
#include <cstring>

#include "images/bytesum.h"
#include "images/image_file.h"

namespace varnel {

namespace {

std::atomic<uint32_t> g_commandReplyMs{ProtocolTimeouts{}.commandReplyMs};
std::atomic<uint32_t> g_flashProgressMs{ProtocolTimeouts{}.flashProgressMs};
std::atomic<uint32_t> g_handshakeMs{ProtocolTimeouts{}.handshakeMs};

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

// Sends one RAM chunk whose data already sits in packet[16..16+length) and checks the reply.
uint32_t SendChunk(CUsbInterface& transport, Packet& packet, uint32_t address, uint32_t length,
                   int& errorSource) {
    const uint32_t sum = ByteSum32(packet.data() + kPacketHeaderSize, length);
    BuildPacketHeader(packet.data(), kCmdRamChunk, address, length, sum);
    transport.Write(packet.data(), kPacketSize);
    uint8_t reply[kReplySize] = {};
    if (transport.ReadWait(reply, kReplySize) != kReplySize) {
        errorSource = kErrorSourceDevice;
        return kStatusReadError;
    }
    return GetLE32(reply) == sum ? 0u : static_cast<uint32_t>(kStatusChecksumError);
}

}  // namespace

ProtocolTimeouts GetProtocolTimeouts() {
    return {g_commandReplyMs.load(), g_flashProgressMs.load(), g_handshakeMs.load()};
}

void SetProtocolTimeouts(const ProtocolTimeouts& timeouts) {
    g_commandReplyMs = timeouts.commandReplyMs;
    g_flashProgressMs = timeouts.flashProgressMs;
    g_handshakeMs = timeouts.handshakeMs;
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

uint32_t ReadReply(CUsbInterface& transport, uint8_t (&reply)[kReplySize]) {
    transport.SetIoTimeout(g_commandReplyMs.load());
    return transport.ReadWait(reply, kReplySize);
}

bool SendCommand(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
    if (!WritePacket(transport, code, a1, a2, a3)) {
        return false;
    }
    uint8_t reply[kReplySize] = {};
    ReadReply(transport, reply);
    return true;
}

bool PostCommand(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
    return WritePacket(transport, code, a1, a2, a3);
}

bool SendCommandEcho(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2,
                     uint32_t a3) {
    if (!WritePacket(transport, code, a1, a2, a3)) {
        return false;
    }
    uint8_t reply[kReplySize] = {};
    return ReadReply(transport, reply) == kReplySize && GetLE32(reply) == a3;
}

bool SendCommandNoCheck(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2,
                        uint32_t a3) {
    if (WritePacket(transport, code, a1, a2, a3)) {
        uint8_t reply[kReplySize] = {};
        ReadReply(transport, reply);
    }
    return false;
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
                       int& errorSource) {
    const uint64_t length = end > start ? end - start : 0;
    const uint32_t fullChunks = static_cast<uint32_t>(length / kChunkDataSize);
    const uint32_t rest = static_cast<uint32_t>(length % kChunkDataSize);

    SendCommand(transport, kCmdBeginRamDownload, kind, fullChunks, 0);
    transport.SetIoTimeout(g_commandReplyMs.load());

    const uint32_t divisor = fullChunks / 100 > 0 ? fullChunks / 100 : 1;
    uint32_t lastProgress = 0;
    uint32_t offset = 0;
    Packet packet{};
    for (uint32_t chunk = 0; chunk < fullChunks; ++chunk) {
        if (!file.ReadExact(packet.data() + kPacketHeaderSize, kChunkDataSize)) {
            errorSource = kErrorSourceFile;
            return kStatusReadError;
        }
        if (const uint32_t result =
                SendChunk(transport, packet, ramBase + offset, kChunkDataSize, errorSource)) {
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
    if (const uint32_t result = SendChunk(transport, packet, ramBase + offset, rest, errorSource)) {
        return result;
    }
    const uint32_t progress = fullChunks / divisor;
    if (progress != lastProgress) {
        SendStatus(window, kStatusRamProgress, port, progress);
    }
    return 0;
}

int WriteFlash(CUsbInterface& transport, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
               StatusSink& window, int port) {
    if (!WritePacket(transport, code, a1, a2, a3)) {
        SendStatus(window, kStatusFlashFailed, port, 0);
    }
    // A missing or short echo is no echo, even when a3 is 0 (piece 0): the reply word's
    // starting value must not pass for it.
    uint8_t reply[kReplySize] = {};
    if (ReadReply(transport, reply) != kReplySize || GetLE32(reply) != a3) {
        SendStatus(window, kStatusFlashNoAck, port, 0);
        return 1;
    }
    transport.SetIoTimeout(g_flashProgressMs.load());
    uint8_t lastProgress = 0;
    for (;;) {
        std::memcpy(reply, "HERA", kReplySize);
        transport.ReadWait(reply, kReplySize);
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
