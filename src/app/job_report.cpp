#include "app/job_report.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "images/format_entry.h"
#include "ui/terminal_view.h"

namespace varnel {

namespace {

std::string Hex32(uint32_t value) {
    return FormatEntry("0x%08X", value);
}

nlohmann::json OptionalTime(const std::optional<WallTime>& time) {
    return time ? nlohmann::json(IsoTime(*time)) : nlohmann::json(nullptr);
}

}  // namespace

std::string IsoTime(WallTime time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds);
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return FormatEntry("%s.%03dZ", text, static_cast<int>(millis.count()));
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

nlohmann::json ReportJson(const JobReport& report) {
    nlohmann::json images = nlohmann::json::array();
    for (const ReportImage& image : report.images) {
        images.push_back({{"kind", image.strKind},
                          {"path", image.strPath},
                          {"size", image.qwSize},
                          {"byte_sum32", Hex32(image.dwByteSum)}});
    }
    nlohmann::json ports = nlohmann::json::array();
    for (const ReportPort& port : report.ports) {
        nlohmann::json entry = {{"port", port.nPort},
                                {"device", port.strDevice},
                                {"serial", port.strSerial},
                                {"port_path", port.strPortPath},
                                {"state", port.strState},
                                {"status_code", port.dwStatusCode},
                                {"status_text", port.strStatusText},
                                {"seconds", port.dSeconds},
                                {"log", LogLines(port.strLog)}};
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
    return {{"title", report.strTitle},
            {"images", images},
            {"options", report.options},
            {"option_flags", Hex32(report.dwOptionFlags)},
            {"started", IsoTime(report.started)},
            {"download_started", OptionalTime(report.downloadStarted)},
            {"ended", IsoTime(report.ended)},
            {"result", report.strResult},
            {"exit_status", report.nExitStatus},
            {"ports", ports}};
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

bool WritePortLogs(const std::string& directory, const std::vector<ReportPort>& ports,
                   std::string& error) {
    for (const ReportPort& port : ports) {
        const std::filesystem::path path =
            std::filesystem::path(directory) / PortLogFileName(port.nPort, port.strDevice);
        std::ofstream file(path, std::ios::out | std::ios::trunc);
        file << ToPlatformLineEnds(port.strLog);
        file.close();
        if (!file) {
            error = "cannot write " + path.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace varnel
