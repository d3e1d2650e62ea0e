#include "sim/fault_names.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace varnel {

namespace {

enum class Count { kNone, kRequired, kCodeAndMilliseconds };

constexpr uint64_t kAnyCount = UINT64_MAX;
constexpr uint64_t k32BitCount = UINT32_MAX;

struct FaultName {
    const char* name;
    Count count;
    const char* help;
    void (*apply)(HandsetFaults&, uint64_t);
    uint64_t largest = kAnyCount;
};

// A whole unsigned number of at most `largest`.
bool ParseCount(std::string_view digits, uint64_t largest, uint64_t& count) {
    const auto [end, status] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    return !digits.empty() && status == std::errc() && end == digits.data() + digits.size() &&
           count <= largest;
}

constexpr FaultName kFaultNames[] = {
    {"wrong-chunk-sum", Count::kRequired, "answer RAM chunk N (0-based) with a wrong sum",
     [](HandsetFaults& f, uint64_t n) { f.wrongChunkSumAt = n; }},
    {"short-reply", Count::kRequired, "cut the reply to command packet N to 2 bytes",
     [](HandsetFaults& f, uint64_t n) { f.shortReplyAt = n; }},
    {"missing-reply", Count::kRequired, "send no reply to command packet N",
     [](HandsetFaults& f, uint64_t n) { f.missingReplyAt = n; }},
    {"stall", Count::kRequired, "from command packet N on, answer nothing",
     [](HandsetFaults& f, uint64_t n) { f.stallAt = n; }},
    {"disconnect-after", Count::kRequired, "vanish once the host has sent N bytes",
     [](HandsetFaults& f, uint64_t n) { f.disconnectAfterBytes = n; }},
    {"flash-fail", Count::kRequired, "flash write N reports a failure (progress 105)",
     [](HandsetFaults& f, uint64_t n) { f.flashFailAt = n; }},
    {"flash-no-ack", Count::kRequired, "flash write N answers a garbage progress word",
     [](HandsetFaults& f, uint64_t n) { f.flashNoAckAt = n; }},
    {"flash-wrong-echo", Count::kRequired, "flash write N echoes a wrong argument",
     [](HandsetFaults& f, uint64_t n) { f.flashWrongEchoAt = n; }},
    {"wrong-check-word", Count::kRequired, "answer check word N wrongly",
     [](HandsetFaults& f, uint64_t n) { f.wrongCheckWordAt = n; }},
    {"missing-check-word", Count::kRequired, "leave check word N out",
     [](HandsetFaults& f, uint64_t n) { f.missingCheckWordAt = n; }},
    {"refuse-handshake", Count::kRequired, "answer the first N handshakes with \"NOUD\"",
     [](HandsetFaults& f, uint64_t n) { f.refuseHandshakes = static_cast<uint32_t>(n); },
     k32BitCount},
    {"slow-reattach", Count::kRequired, "come back N ms after the reattach",
     [](HandsetFaults& f, uint64_t n) { f.reattachDelayMs = static_cast<uint32_t>(n); },
     k32BitCount},
    {"slow", Count::kCodeAndMilliseconds, "hold every reply to command CODE back by MS ms",
     [](HandsetFaults& f, uint64_t packed) {
         f.slowReply = HandsetFaults::SlowReply{static_cast<uint32_t>(packed >> 32),
                                                static_cast<uint32_t>(packed)};
     }},
    {"never-reattach", Count::kNone, "leave at the reattach and never come back",
     [](HandsetFaults& f, uint64_t) { f.neverReattach = true; }},
};

}  // namespace

bool ApplyFaultByName(std::string_view text, HandsetFaults& faults, std::string& error) {
    const size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    for (const FaultName& fault : kFaultNames) {
        if (name != fault.name) {
            continue;
        }
        uint64_t count = 0;
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
        switch (fault.count) {
            case Count::kNone:
                if (equals != std::string_view::npos) {
                    error = "fault '" + std::string(name) + "' takes no count";
                    return false;
                }
                break;
            case Count::kRequired:
                if (!ParseCount(value, fault.largest, count)) {
                    error = "fault '" + std::string(name) + "' needs a count: " + fault.name + "=N";
                    return false;
                }
                break;
            case Count::kCodeAndMilliseconds: {
                const size_t colon = value.find(':');
                uint64_t code = 0;
                uint64_t milliseconds = 0;
                if (colon == std::string_view::npos ||
                    !ParseCount(value.substr(0, colon), k32BitCount, code) ||
                    !ParseCount(value.substr(colon + 1), k32BitCount, milliseconds)) {
                    error = "fault '" + std::string(name) + "' needs " + fault.name + "=CODE:MS";
                    return false;
                }
                count = code << 32 | milliseconds;
                break;
            }
        }
        fault.apply(faults, count);
        return true;
    }
    error = "unknown fault '" + std::string(name) + "'";
    return false;
}

bool ApplyPortFault(std::string_view text, std::vector<HandsetFaults>& perPort,
                    std::string& error) {
    const size_t colon = text.find(':');
    const std::string_view digits = text.substr(0, colon);
    size_t port = 0;
    const auto [end, status] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (colon == std::string_view::npos || digits.empty() || status != std::errc() ||
        end != digits.data() + digits.size() || port >= perPort.size()) {
        error = "'" + std::string(text) + "' is not PORT:FAULT with a port below " +
                std::to_string(perPort.size());
        return false;
    }
    return ApplyFaultByName(text.substr(colon + 1), perPort[port], error);
}

std::string FaultNamesHelp() {
    std::string help;
    for (const FaultName& fault : kFaultNames) {
        std::string usage = fault.name;
        if (fault.count == Count::kRequired) {
            usage += "=N";
        } else if (fault.count == Count::kCodeAndMilliseconds) {
            usage += "=CODE:MS";
        }
        usage.resize(std::max<size_t>(usage.size() + 2, 22), ' ');
        help += "  " + usage + fault.help + "\n";
    }
    return help;
}

}  // namespace varnel
