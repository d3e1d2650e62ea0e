#include "sim/virtual_handset.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "engine/protocol.h"
#include "images/bytesum.h"

namespace varnel {

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;

// Answer to a command code nobody knows, and to a chunk longer than a packet can carry.
constexpr uint32_t kRejectWord = 0xFFFFFFFF;
constexpr char kHandshakeRefused[4] = {'N', 'O', 'U', 'D'};
// Not a progress word, but close enough to one to show that only "OKDN" ends a write.
constexpr char kFlashGarbage[4] = {'O', 'K', 'D', 'X'};

constexpr uint64_t Rotl(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

// Byte order fixed to little-endian, so the digest is the same on every host.
uint64_t Load64(const uint8_t* p) {
    uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, p, sizeof value);
    } else {
        for (int i = 7; i >= 0; --i) {
            value = value << 8 | p[i];
        }
    }
    return value;
}

constexpr uint64_t Round(uint64_t lane, uint64_t input) {
    return Rotl(lane + input * kPrime2, 31) * kPrime1;
}

bool IsFlashExchange(uint32_t code) {
    switch (code) {
        case kCmdWritePhone:
        case kCmdWriteCsc:
        case kCmdWritePdaPiece:
        case kCmdWriteLangPack:
        case kCmdWriteFirstPartition:
        case kCmdWriteSecondPartition:
        case kCmdWriteSinglePartition:
            return true;
        default:
            return false;
    }
}

}  // namespace

StreamDigest::StreamDigest() : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1} {}

void StreamDigest::Consume(const uint8_t* stripes, size_t count) {
    // Four independent lanes in registers keep the multiplies from waiting on each other.
    uint64_t lane0 = lanes_[0], lane1 = lanes_[1], lane2 = lanes_[2], lane3 = lanes_[3];
    for (; count > 0; --count, stripes += kStripe) {
        lane0 = Round(lane0, Load64(stripes));
        lane1 = Round(lane1, Load64(stripes + 8));
        lane2 = Round(lane2, Load64(stripes + 16));
        lane3 = Round(lane3, Load64(stripes + 24));
    }
    lanes_[0] = lane0;
    lanes_[1] = lane1;
    lanes_[2] = lane2;
    lanes_[3] = lane3;
}

void StreamDigest::Update(const uint8_t* data, size_t size) {
    // An empty stream may come with no buffer at all (an empty vector's data()).
    if (size == 0) {
        return;
    }
    length_ += size;
    if (pendingSize_ > 0) {
        const size_t take = std::min(size, kStripe - pendingSize_);
        std::memcpy(pending_ + pendingSize_, data, take);
        pendingSize_ += take;
        data += take;
        size -= take;
        if (pendingSize_ < kStripe) {
            return;
        }
        Consume(pending_, 1);
        pendingSize_ = 0;
    }
    const size_t stripes = size / kStripe;
    Consume(data, stripes);
    data += stripes * kStripe;
    size -= stripes * kStripe;
    std::memcpy(pending_, data, size);
    pendingSize_ = size;
}

uint64_t StreamDigest::Value() const {
    uint64_t hash = Rotl(lanes_[0], 1) + Rotl(lanes_[1], 7) + Rotl(lanes_[2], 12) +
                    Rotl(lanes_[3], 18) + length_ * kPrime3;
    size_t at = 0;
    for (; at + 8 <= pendingSize_; at += 8) {
        hash = Rotl(hash ^ Round(0, Load64(pending_ + at)), 27) * kPrime1 + kPrime3;
    }
    for (; at < pendingSize_; ++at) {
        hash = Rotl(hash ^ (pending_[at] * kPrime3), 11) * kPrime1;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    return hash ^ (hash >> 32);
}

uint64_t StreamDigest::Of(const uint8_t* data, size_t size) {
    StreamDigest digest;
    digest.Update(data, size);
    return digest.Value();
}

// The answer to one host write: every reply is held back by the round trip (plus any later
// moment of a flash write), and a short or missing reply fault caps the bytes that go out.
class VirtualHandset::Answer {
  public:
    Answer(ReplyQueue& queue, uint64_t roundTripMicros, size_t budget)
        : queue_(queue), roundTripMicros_(roundTripMicros), budget_(budget) {}

    void Bytes(const void* data, size_t size, uint64_t laterMicros = 0) {
        const size_t count = std::min(size, budget_);
        queue_.Push(data, count, roundTripMicros_ + laterMicros);
        budget_ -= count;
    }
    void Word(uint32_t value, uint64_t laterMicros = 0) {
        uint8_t bytes[kReplySize];
        PutLE32(bytes, value);
        Bytes(bytes, kReplySize, laterMicros);
    }
    void Text(const char (&text)[kReplySize], uint64_t laterMicros = 0) {
        Bytes(text, kReplySize, laterMicros);
    }

  private:
    ReplyQueue& queue_;
    uint64_t roundTripMicros_;
    size_t budget_;
};

std::optional<uint32_t> SmdHeaderBlocks(const uint8_t* header, size_t size) {
    if (size < 2 * kReplySize || std::memcmp(header, kSmdHeaderMagic, kReplySize) != 0) {
        return std::nullopt;
    }
    return GetLE32(header + kReplySize);
}

HandsetConfig DemoHandsetConfig(int index) {
    HandsetConfig config;
    config.instance = "SIM" + std::to_string(index);
    config.recordMode = RecordMode::kDigest;
    config.timing.roundTripMicros = 250;
    config.timing.flashBytesPerSecond = 16ull << 20;
    return config;
}

std::vector<std::pair<uint32_t, uint32_t>> SmdRangesCovering(uint32_t blocks, uint32_t perRange) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    const uint32_t step = std::max<uint32_t>(1, perRange);
    for (uint32_t first = 0; first < blocks; first += std::min(step, blocks - first)) {
        ranges.emplace_back(first, std::min(step, blocks - first));
    }
    return ranges;
}

VirtualHandset::VirtualHandset(HandsetConfig config)
    : config_(std::move(config)),
      version_(config_.bootloaderVersion),
      smdRanges_(config_.smdRanges) {}

HandsetConfig VirtualHandset::Config() const {
    return Locked(config_);
}

void VirtualHandset::SetFaults(const HandsetFaults& faults) {
    std::lock_guard lock(mutex_);
    config_.faults = faults;
}

HostWriteResult VirtualHandset::HandleHostWrite(const uint8_t* data, size_t size,
                                                ReplyQueue& replies) {
    std::lock_guard lock(mutex_);
    HostWriteResult result;
    const HandsetFaults& faults = config_.faults;
    if (faults.disconnectAfterBytes && hostBytes_ + size > *faults.disconnectAfterBytes) {
        hostBytes_ = *faults.disconnectAfterBytes;
        result.exit = HandsetExit::kUnplug;
        return result;
    }
    hostBytes_ += size;
    if (data == nullptr || (size != kReplySize && size != kPacketSize)) {
        ++malformed_;
        return result;
    }
    if (size == kReplySize) {
        if (!stalled_) {
            Answer answer(replies, config_.timing.roundTripMicros, kReplySize);
            HandleHandshake(data, answer);
        }
        return result;
    }
    const uint64_t packet = packets_++;
    if (faults.stallAt && packet >= *faults.stallAt) {
        stalled_ = true;
    }
    if (stalled_) {
        return result;
    }
    uint64_t roundTripMicros = config_.timing.roundTripMicros;
    if (faults.slowReply && GetLE32(data) == faults.slowReply->code) {
        roundTripMicros += uint64_t{faults.slowReply->delayMs} * 1000;
    }
    size_t budget = std::numeric_limits<size_t>::max();
    if (faults.shortReplyAt == packet) {
        budget = 2;
    }
    if (faults.missingReplyAt == packet) {
        budget = 0;
    }
    Answer answer(replies, roundTripMicros, budget);
    HandlePacket(data, answer, result);
    return result;
}

void VirtualHandset::HandleHandshake(const uint8_t* word, Answer& answer) {
    if (std::memcmp(word, kHandshakeRequest, kReplySize) != 0) {
        ++malformed_;
        return;
    }
    ++handshakes_;
    if (handshakesRefused_ < config_.faults.refuseHandshakes) {
        ++handshakesRefused_;
        answer.Text(kHandshakeRefused);
        return;
    }
    answer.Text(kHandshakeAck);
}

void VirtualHandset::HandlePacket(const uint8_t* packet, Answer& answer, HostWriteResult& result) {
    const uint32_t code = GetLE32(packet);
    const uint32_t a1 = GetLE32(packet + 4);
    const uint32_t a2 = GetLE32(packet + 8);
    const uint32_t a3 = GetLE32(packet + 12);
    if (code == kCmdRamChunk) {
        HandleChunk(a1, a2, packet + kPacketHeaderSize, answer);
        return;
    }
    LogCommand(code, a1, a2, a3);
    switch (code) {
        case kCmdWriteEboot:
        case kCmdWritePhone:
        case kCmdWriteCsc:
        case kCmdWritePdaPiece:
        case kCmdWriteLangPack:
        case kCmdWriteFirstPartition:
        case kCmdWriteSecondPartition:
        case kCmdWriteSinglePartition:
            HandleFlashWrite(code, a1, a2, a3, answer);
            return;
        case kCmdMarker:
            HandleMarker(a3, answer);
            return;
        case kCmdBeginRamDownload:
            BeginRamDownload(a1);
            break;
        case kCmdSelectLanguage:
            languages_.push_back({a1, a2, a3});
            break;
        case kCmdLaunch:
            launched_ = true;
            break;
        case kCmdQueryVersion:
            answer.Word(version_);
            return;
        case kCmdPrepareReattach:
            answer.Word(code);
            ++reattaches_;
            version_ = config_.versionAfterReattach;
            BeginRamDownload(0);
            checkSum_ = 0;
            result.exit =
                config_.faults.neverReattach ? HandsetExit::kLeave : HandsetExit::kReattach;
            result.reattachDelayMs = config_.faults.reattachDelayMs;
            return;
        case kCmdSmdStart:
            smdRanges_ = config_.smdRanges;
            smdHeaderDue_ = smdRanges_.empty();
            nextSmdRange_ = 0;
            break;
        case kCmdSmdNextRange:
            smdHeaderDue_ = false;
            if (nextSmdRange_ < smdRanges_.size()) {
                uint8_t range[2 * kReplySize];
                PutLE32(range, smdRanges_[nextSmdRange_].first);
                PutLE32(range + kReplySize, smdRanges_[nextSmdRange_].second);
                ++nextSmdRange_;
                answer.Bytes(range, sizeof range);
            } else {
                answer.Text(kHandshakeAck);
            }
            return;
        case kCmdSmdWriteBlocks:
            flashed_.push_back(RecordDownload(code, a1, a2, a3));
            break;
        case kCmdJobPlan:
        case kCmdNandFormat:
            break;
        default:
            ++malformed_;
            answer.Word(kRejectWord);
            return;
    }
    // The reply of a command whose answer the host ignores.
    answer.Word(code);
}

void VirtualHandset::HandleChunk(uint32_t address, uint32_t length, const uint8_t* payload,
                                 Answer& answer) {
    const uint64_t chunk = chunks_++;
    if (!commands_.empty() && commands_.back().code == kCmdRamChunk) {
        ++commands_.back().repeat;
        commands_.back().a2 += length;
    } else {
        commands_.push_back({kCmdRamChunk, address, length, 0, 1});
    }
    if (length > kChunkDataSize) {
        ++malformed_;
        answer.Word(kRejectWord);
        return;
    }
    const uint32_t sum = ByteSum32(payload, length);
    // The first RAM download of an SMD job is its header, which tells what the image holds.
    if (smdHeaderDue_ && !downloadStarted_) {
        smdHeaderDue_ = false;
        if (const auto blocks = SmdHeaderBlocks(payload, length)) {
            smdRanges_ = SmdRangesCovering(*blocks, config_.smdRangeBlocks);
        }
    }
    if (!downloadStarted_) {
        downloadStarted_ = true;
        downloadBase_ = address;
        nextAddress_ = address;
    }
    if (address != nextAddress_) {
        ++outOfPlaceChunks_;
    }
    nextAddress_ = address + length;
    if (config_.recordMode == RecordMode::kBytes) {
        // Addresses below the first chunk wrap to huge offsets and fall beyond the limit.
        const uint64_t offset = static_cast<uint32_t>(address - downloadBase_);
        if (offset + length <= config_.ramLimit) {
            if (ram_.size() < offset + length) {
                ram_.resize(offset + length);
            }
            std::memcpy(ram_.data() + offset, payload, length);
        }
    } else {
        streamDigest_.Update(payload, length);
        streamLength_ += length;
        streamSum_ += sum;
    }
    answer.Word(config_.faults.wrongChunkSumAt == chunk ? sum + 1 : sum);
}

void VirtualHandset::HandleFlashWrite(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3,
                                      Answer& answer) {
    const uint64_t write = flashWrites_++;
    const HandsetFaults& faults = config_.faults;
    if (faults.flashWrongEchoAt == write) {
        answer.Word(~a3);
        return;
    }
    answer.Word(a3);
    FlashRecord record = RecordDownload(code, a1, a2, a3);
    if (code == kCmdWriteEboot) {
        flashed_.push_back(std::move(record));
        return;
    }
    const std::vector<uint8_t>& progress = config_.flashProgress;
    const uint64_t duration = FlashMicros(record.length);
    const auto momentOfStep = [&](size_t step) { return duration * step / (progress.size() + 1); };
    const auto progressWord = [&](size_t step) {
        const char word[kReplySize] = {'O', 'K', 'U', static_cast<char>(progress[step])};
        answer.Text(word, momentOfStep(step + 1));
    };
    const bool fails = faults.flashFailAt == write;
    if (fails || faults.flashNoAckAt == write) {
        if (!progress.empty()) {
            progressWord(0);
        }
        const char failed[kReplySize] = {'O', 'K', 'U', static_cast<char>(kFlashProgressFailed)};
        answer.Text(fails ? failed : kFlashGarbage, momentOfStep(1));
        return;
    }
    for (size_t step = 0; step < progress.size(); ++step) {
        progressWord(step);
    }
    answer.Text(kFlashDone, duration);
    if (IsFlashExchange(code)) {
        checkSum_ += record.byteSum;
    }
    flashed_.push_back(std::move(record));
}

void VirtualHandset::HandleMarker(uint32_t phase, Answer& answer) {
    answer.Word(kCmdMarker);
    switch (phase) {
        case kPhasePdaBegin:
        case kPhasePartitionBegin:
        case kPhaseSinglePartitionBegin:
            checkSum_ = 0;
            break;
        case kPhasePdaEnd:
        case kPhasePartitionEnd: {
            const uint64_t checkWord = checkWords_++;
            if (config_.faults.missingCheckWordAt != checkWord) {
                answer.Word(config_.faults.wrongCheckWordAt == checkWord ? ~checkSum_ : checkSum_);
            }
            break;
        }
        default:
            ++malformed_;
            break;
    }
}

void VirtualHandset::BeginRamDownload(uint32_t kind) {
    kind_ = kind;
    downloadStarted_ = false;
    ram_.clear();
    streamLength_ = 0;
    streamSum_ = 0;
    streamDigest_ = StreamDigest();
}

void VirtualHandset::LogCommand(uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
    commands_.push_back({code, a1, a2, a3, 1});
}

FlashRecord VirtualHandset::RecordDownload(uint32_t code, uint32_t a1, uint32_t a2,
                                           uint32_t a3) const {
    FlashRecord record;
    record.code = code;
    record.kind = kind_;
    record.a1 = a1;
    record.a2 = a2;
    record.a3 = a3;
    if (config_.recordMode == RecordMode::kBytes) {
        record.length = ram_.size();
        record.byteSum = ByteSum32(ram_.data(), ram_.size());
        record.digest = StreamDigest::Of(ram_);
        record.bytes = ram_;
    } else {
        record.length = streamLength_;
        record.byteSum = streamSum_;
        record.digest = streamDigest_.Value();
    }
    return record;
}

uint64_t VirtualHandset::FlashMicros(uint64_t length) const {
    const uint64_t rate = config_.timing.flashBytesPerSecond;
    return rate == 0 ? 0 : length * 1'000'000 / rate;
}

std::vector<uint8_t> VirtualHandset::FlashedBytes(uint32_t code) const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> bytes;
    for (const FlashRecord& record : flashed_) {
        if (record.code == code) {
            bytes.insert(bytes.end(), record.bytes.begin(), record.bytes.end());
        }
    }
    return bytes;
}

}  // namespace varnel
