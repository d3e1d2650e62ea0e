#include "app/job_report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/log_text.h"
#include "images/format_entry.h"
#include "images/utf8_path.h"
#include "ui/terminal_view.h"

namespace varnel {

namespace {

nlohmann::json OptionalTime(const std::optional<WallTime>& time) {
    return time ? nlohmann::json(IsoTime(*time)) : nlohmann::json(nullptr);
}

}  // namespace

std::string Hex32(uint32_t value) {
    return FormatEntry("0x%08X", value);
}

std::string RandomId() {
    std::random_device random;
    std::string id;
    for (int word = 0; word < 4; ++word) {
        id += FormatEntry("%08x", static_cast<unsigned>(random()));
    }
    return id;
}

std::string IsoTime(WallTime time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds);
    const auto days = std::chrono::floor<std::chrono::days>(seconds);
    const std::chrono::year_month_day date{std::chrono::sys_days(days)};
    const std::chrono::hh_mm_ss clock(seconds - days);
    return FormatEntry(
        "%04d-%02u-%02uT%02d:%02d:%02lld.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<long long>(clock.seconds().count()), static_cast<int>(millis.count()));
}

std::string LineStamps::Apply(std::string_view text, WallTime now) {
    const std::string stamp = IsoTime(now) + " ";
    std::string stamped;
    for (const char c : text) {
        if (m_bLineStart) {
            stamped += stamp;
        }
        stamped += c;
        m_bLineStart = c == '\n';
    }
    return stamped;
}

std::vector<std::string> LogLines(std::string_view entries) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < entries.size()) {
        size_t end = entries.find('\n', start);
        const bool last = end == std::string_view::npos;
        if (last) {
            end = entries.size();
        }
        std::string_view line = entries.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

std::string ReportKey(std::string_view option) {
    const size_t start = option.find_first_not_of('-');
    std::string key(start == std::string_view::npos ? std::string_view() : option.substr(start));
    std::replace(key.begin(), key.end(), '-', '_');
    return key;
}

nlohmann::json ReportListEntry(const std::vector<std::string>& entries, int index) {
    if (index < 0 || index >= static_cast<int>(entries.size())) {
        return nullptr;
    }
    return {{"index", index}, {"entry", entries[static_cast<size_t>(index)]}};
}

nlohmann::json OptionsInUtf8(nlohmann::json options) {
    for (auto& entry : options) {
        if (entry.is_object() && entry.contains("entry") && entry["entry"].is_string()) {
            entry["entry"] = LogTextToUtf8(entry["entry"].get<std::string>());
        }
    }
    return options;
}

nlohmann::json ReportJson(const JobReport& report) {
    const auto text = [](const std::string& value) { return LogTextToUtf8(value); };
    nlohmann::json images = nlohmann::json::array();
    for (const ReportImage& image : report.images) {
        images.push_back({{"kind", image.strKind},
                          {"path", text(image.strPath)},
                          {"size", image.qwSize},
                          {"byte_sum32", Hex32(image.dwByteSum)},
                          {"sha256", image.strSha256}});
    }
    nlohmann::json ports = nlohmann::json::array();
    for (const ReportPort& port : report.ports) {
        nlohmann::json entry = {{"port", port.nPort},
                                {"device", text(port.strDevice)},
                                {"serial", text(port.strSerial)},
                                {"port_path", text(port.strPortPath)},
                                {"state", port.strState},
                                {"status_code", port.dwStatusCode},
                                {"status_text", text(port.strStatusText)},
                                {"seconds", port.dSeconds},
                                {"bytes_sent", port.qwBytesSent},
                                {"log", LogLines(text(port.strLog))}};
        if (port.bLaunched) {
            nlohmann::json flashed = nlohmann::json::array();
            for (const ReportFlash& flash : port.flashed) {
                flashed.push_back({{"code", flash.dwCode},
                                   {"kind", flash.dwKind},
                                   {"length", flash.qwLength},
                                   {"byte_sum32", Hex32(flash.dwByteSum)}});
            }
            entry["simulated_handset"] = {{"launched", *port.bLaunched}, {"flashed", flashed}};
        }
        ports.push_back(std::move(entry));
    }
    const nlohmann::json options = OptionsInUtf8(report.options);
    nlohmann::json json = {{"schema_version", kReportSchemaVersion},
                           {"version", report.strVersion},
                           {"git_commit", report.strCommit},
                           {"job", report.nJob},
                           {"title", text(report.strTitle)},
                           {"images", images},
                           {"options", options},
                           {"option_flags", Hex32(report.dwOptionFlags)},
                           {"started", IsoTime(report.started)},
                           {"download_started", OptionalTime(report.downloadStarted)},
                           {"ended", IsoTime(report.ended)},
                           {"result", report.strResult},
                           {"exit_status", report.nExitStatus},
                           {"ports_expected", report.nPortsExpected},
                           {"ports_attached", report.nPortsAttached},
                           {"ports", ports}};
    if (!report.strError.empty()) {
        json["error"] = text(report.strError);
    }
    if (!report.strHistoryError.empty()) {
        json["history_error"] = text(report.strHistoryError);
    }
    return json;
}

std::string PortLogFileName(int port, const std::string& device) {
    std::string name = FormatEntry("port%d-", port);
    for (const char c : device) {
        const bool plain =
            std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
        name += plain ? c : '_';
    }
    return name + ".log";
}

PortLogFiles::PortLogFiles(std::string directory, std::function<bool(const std::string&)> refuse)
    : m_strDirectory(std::move(directory)), m_refuse(std::move(refuse)) {}

PortLogFiles::~PortLogFiles() {
    for (File& file : m_files) {
        if (file.pFile != nullptr) {
            std::fclose(file.pFile);
        }
    }
}

bool PortLogFiles::Open(File& file, const std::string& name, std::string& error) {
    if (file.pFile != nullptr) {
        std::fclose(file.pFile);
    }
    file = File{};
    const std::string path = Utf8Text(Utf8Path(m_strDirectory) / name);
    if (m_refuse && m_refuse(path)) {
        error =
            "'" + path + "' is a file this job reads or writes otherwise; it is not overwritten";
        return false;
    }
    file.pFile = OpenUtf8File(path, "w");
    if (file.pFile == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    file.strName = name;
    return true;
}

bool PortLogFiles::Update(int port, const std::string& device, const std::string& record,
                          std::string& error) {
    if (port < 0 || port >= static_cast<int>(m_files.size())) {
        return true;
    }
    File& file = m_files[static_cast<size_t>(port)];
    const std::string name = PortLogFileName(port, device);
    if (file.pFile == nullptr || file.strName != name || record.size() < file.nWritten) {
        if (!Open(file, name, error)) {
            return false;
        }
    }
    if (record.size() == file.nWritten) {
        return true;
    }
    const std::string text = file.stamps.Apply(
        ToPlatformLineEnds(LogTextToUtf8(std::string_view(record).substr(file.nWritten))),
        std::chrono::system_clock::now());
    file.nWritten = record.size();
    if (std::fwrite(text.data(), 1, text.size(), file.pFile) != text.size() ||
        std::fflush(file.pFile) != 0) {
        error = "cannot write " + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace varnel
