#include "engine/device_choice.h"

#include <algorithm>
#include <charconv>

namespace varnel {

namespace {

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

bool DeviceChoice::Accepts(const DeviceIdentity& identity) const {
    if (m_Chosen.empty()) {
        return true;
    }
    return std::any_of(m_Chosen.begin(), m_Chosen.end(), [&identity](const std::string& chosen) {
        return chosen == identity.strSerial || chosen == identity.strPortPath;
    });
}

bool DeviceChoice::AddSlot(std::string_view text, int portCount, std::string& error) {
    const size_t equals = text.find('=');
    const std::string_view number = Trimmed(text.substr(0, std::min(equals, text.size())));
    const std::string_view portPath =
        equals == std::string_view::npos ? std::string_view() : Trimmed(text.substr(equals + 1));
    int port = -1;
    const auto [end, status] = std::from_chars(number.data(), number.data() + number.size(), port);
    if (equals == std::string_view::npos || number.empty() || status != std::errc() ||
        end != number.data() + number.size() || portPath.empty()) {
        error = "'" + std::string(text) + "' is not N=PORTPATH";
        return false;
    }
    if (port < 0 || port >= portCount) {
        error = "port " + std::string(number) + " is not 0 to " + std::to_string(portCount - 1);
        return false;
    }
    if (IsMappedPort(port)) {
        error = "port " + std::to_string(port) + " is mapped twice";
        return false;
    }
    if (!m_PortOfPath.emplace(std::string(portPath), port).second) {
        error = "port path " + std::string(portPath) + " is mapped twice";
        return false;
    }
    return true;
}

bool DeviceChoice::AddSlotLines(std::string_view text, int portCount, std::string& error) {
    size_t at = 0;
    for (int line = 1; at < text.size(); ++line) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view entry = text.substr(at, end - at);
        entry = Trimmed(entry.substr(0, entry.find('#')));
        if (!entry.empty() && !AddSlot(entry, portCount, error)) {
            error = "line " + std::to_string(line) + ": " + error;
            return false;
        }
        at = end + 1;
    }
    return true;
}

int DeviceChoice::MappedPort(const std::string& portPath) const {
    const auto found = m_PortOfPath.find(portPath);
    return found == m_PortOfPath.end() ? -1 : found->second;
}

bool DeviceChoice::IsMappedPort(int port) const {
    return std::any_of(m_PortOfPath.begin(), m_PortOfPath.end(),
                       [port](const auto& entry) { return entry.second == port; });
}

}  // namespace varnel
