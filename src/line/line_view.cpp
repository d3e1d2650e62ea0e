#include "line/line_view.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "images/format_entry.h"

namespace varnel {

namespace {

constexpr int kViewSchemaVersion = 1;

std::vector<std::string> TopicLevels(const std::string& topic) {
    std::vector<std::string> levels;
    size_t start = 0;
    for (;;) {
        const size_t slash = topic.find('/', start);
        levels.push_back(topic.substr(start, slash - start));
        if (slash == std::string::npos) {
            return levels;
        }
        start = slash + 1;
    }
}

std::string StringField(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

template <typename Number>
Number Integer(const nlohmann::json& object, const char* key, Number otherwise = 0) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        return otherwise;
    }
    const auto value = found->get<int64_t>();
    if (value < static_cast<int64_t>(std::numeric_limits<Number>::min()) ||
        value > static_cast<int64_t>(std::numeric_limits<Number>::max())) {
        return otherwise;
    }
    return static_cast<Number>(value);
}

std::optional<int> PortNumber(int64_t port) {
    if (port < 0 || port >= kLineViewPorts) {
        return std::nullopt;
    }
    return static_cast<int>(port);
}

LinePort PortOf(const nlohmann::json& object) {
    return {StringField(object, "device"), StringField(object, "state"),
            Integer<uint32_t>(object, "status_code"),
            std::clamp(Integer<int>(object, "percent"), 0, 100), StringField(object, "text")};
}

std::string Cut(std::string text, size_t width) {
    if (text.size() > width) {
        text.resize(width);
    }
    return text;
}

}  // namespace

bool LineView::Apply(const std::string& topic, const std::string& payload) {
    const std::vector<std::string> levels = TopicLevels(topic);
    if (levels.size() < 4 || levels[0] != "varnel" || levels[1] != m_strLine || levels[2].empty()) {
        return false;
    }
    const nlohmann::json message = nlohmann::json::parse(payload, nullptr, false);
    if (!message.is_object()) {
        return false;
    }
    const std::string& name = levels[2];
    const std::string& kind = levels[3];
    if (levels.size() == 4 && kind == "presence") {
        const auto online = message.find("online");
        if (online == message.end() || !online->is_boolean()) {
            return false;
        }
        m_benches[name].bOnline = online->get<bool>();
        return true;
    }
    if (levels.size() == 4 && kind == "state") {
        return ApplyState(m_benches[name], message);
    }
    if (levels.size() == 4 && kind == "job") {
        LineBench& bench = m_benches[name];
        bench.nJob = Integer<int>(message, "job", bench.nJob);
        bench.strJobState = "ended";
        bench.strResult = StringField(message, "result");
        return true;
    }
    if (levels.size() == 6 && kind == "port" && levels[5] == "event") {
        const auto port = levels[4].size() == 1 ? PortNumber(levels[4][0] - '0') : std::nullopt;
        return port && ApplyPortEvent(name, *port, message);
    }
    return false;
}

bool LineView::ApplyState(LineBench& bench, const nlohmann::json& state) {
    bench.nJob = Integer<int>(state, "job", bench.nJob);
    bench.strJobState = StringField(state, "job_state");
    bench.strResult = StringField(state, "result");
    if (const auto images = state.find("images"); images != state.end() && images->is_array()) {
        bench.images = *images;
    }
    bench.ports = {};
    if (const auto ports = state.find("ports"); ports != state.end() && ports->is_array()) {
        for (const nlohmann::json& port : *ports) {
            if (!port.is_object()) {
                continue;
            }
            if (const auto number = PortNumber(Integer<int64_t>(port, "port", -1))) {
                bench.ports[static_cast<size_t>(*number)] = PortOf(port);
            }
        }
    }
    return true;
}

bool LineView::ApplyPortEvent(const std::string& name, int port, const nlohmann::json& event) {
    LineBench& bench = m_benches[name];
    const std::string kind = StringField(event, "event");
    if (kind != "status" && kind != "end") {
        return false;
    }
    const int job = Integer<int>(event, "job", bench.nJob);
    if (job != bench.nJob) {
        // A new job's first event can come before its state.
        bench.nJob = job;
        bench.ports = {};
    }
    bench.ports[static_cast<size_t>(port)] = PortOf(event);
    if (kind == "end") {
        std::string& last = m_lastEnd[{name, port}];
        const std::string time = StringField(event, "time");
        if (time == last) {
            return true;
        }
        last = time;
        const LinePort& ended = *bench.ports[static_cast<size_t>(port)];
        if (ended.strState == "finished") {
            ++bench.nFinished;
        } else if (ended.strState == "failed") {
            ++bench.nFailed;
            m_failures.push_front({time, name, port, ended.strDevice, StringField(event, "serial"),
                                   ended.dwStatusCode, ended.strText});
            if (m_failures.size() > kFailuresKept) {
                m_failures.pop_back();
            }
        }
    }
    return true;
}

nlohmann::json LineView::Json() const {
    nlohmann::json benches = nlohmann::json::array();
    for (const auto& [name, bench] : m_benches) {
        nlohmann::json ports = nlohmann::json::array();
        for (size_t index = 0; index < bench.ports.size(); ++index) {
            if (const auto& port = bench.ports[index]) {
                ports.push_back({{"port", index},
                                 {"device", port->strDevice},
                                 {"state", port->strState},
                                 {"status_code", port->dwStatusCode},
                                 {"percent", port->nPercent},
                                 {"text", port->strText}});
            }
        }
        benches.push_back({{"bench", name},
                           {"online", bench.bOnline ? nlohmann::json(*bench.bOnline) : nullptr},
                           {"job", bench.nJob},
                           {"job_state", bench.strJobState},
                           {"result", bench.strResult},
                           {"images", bench.images},
                           {"ports", ports},
                           {"yield", {{"finished", bench.nFinished}, {"failed", bench.nFailed}}}});
    }
    nlohmann::json failures = nlohmann::json::array();
    for (const LineFailure& failure : m_failures) {
        failures.push_back({{"time", failure.strTime},
                            {"bench", failure.strBench},
                            {"port", failure.nPort},
                            {"device", failure.strDevice},
                            {"serial", failure.strSerial},
                            {"status_code", failure.dwStatusCode},
                            {"text", failure.strText}});
    }
    return {{"schema_version", kViewSchemaVersion},
            {"line", m_strLine},
            {"benches", benches},
            {"failures", failures}};
}

std::string LineView::Text(size_t columns) const {
    const auto row = [columns](std::string text) { return Cut(std::move(text), columns) + "\n"; };
    std::string text = row(FormatEntry("Line %s: %zu bench%s", m_strLine.c_str(), m_benches.size(),
                                       m_benches.size() == 1 ? "" : "es"));
    for (const auto& [name, bench] : m_benches) {
        const int ended = bench.nFinished + bench.nFailed;
        const std::string yield = ended == 0
                                      ? std::string("-")
                                      : FormatEntry("%d/%d finished (%.1f%%)", bench.nFinished,
                                                    ended, 100.0 * bench.nFinished / ended);
        text +=
            "\n" + row(FormatEntry("%-16s %-8s job %-4d %-8s %-14s yield %s", Cut(name, 16).c_str(),
                                   !bench.bOnline   ? "?"
                                   : *bench.bOnline ? "online"
                                                    : "OFFLINE",
                                   bench.nJob, bench.strJobState.c_str(), bench.strResult.c_str(),
                                   yield.c_str()));
        for (size_t index = 0; index < bench.ports.size(); ++index) {
            if (const auto& port = bench.ports[index]) {
                text += row(FormatEntry("  PDA %zu  %-12s %-11s %3d%%  %-10u %s", index,
                                        Cut(port->strDevice, 12).c_str(), port->strState.c_str(),
                                        port->nPercent, port->dwStatusCode, port->strText.c_str()));
            }
        }
    }
    if (!m_failures.empty()) {
        text += "\nLast failures:\n";
        for (const LineFailure& failure : m_failures) {
            text += row(FormatEntry(
                "  %s  %s PDA %d  %s %s  status %u: %s", failure.strTime.c_str(),
                failure.strBench.c_str(), failure.nPort, failure.strDevice.c_str(),
                failure.strSerial.c_str(), failure.dwStatusCode, failure.strText.c_str()));
        }
    }
    return text;
}

}  // namespace varnel
