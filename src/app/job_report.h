// What a bench job leaves behind besides the handsets: the JSON report and one log file per port.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace varnel {

using WallTime = std::chrono::system_clock::time_point;

struct ReportImage {
    std::string strKind;  // "EBoot", "PDA", ...
    std::string strPath;
    uint64_t qwSize = 0;
    uint32_t dwByteSum = 0;  // ByteSum32 of the whole file
};

// One flash write as a simulated handset recorded it.
struct ReportFlash {
    uint32_t dwCode = 0;
    uint32_t dwKind = 0;
    uint64_t qwLength = 0;
    uint32_t dwByteSum = 0;
};

struct ReportPort {
    int nPort = 0;
    std::string strDevice;
    std::string strSerial;    // the handset's serial string, when known
    std::string strPortPath;  // its USB port (bus-port chain), when known
    std::string strState;     // "finished", "failed", or "stopped" for a job cut short
    uint32_t dwStatusCode = 0;
    std::string strStatusText;  // as the port's progress bar shows it
    double dSeconds = 0;
    std::string strLog;  // the port's entries, each with its "\r\n"
    // A simulated handset's own record.
    std::optional<bool> bLaunched;
    std::vector<ReportFlash> flashed;
};

struct JobReport {
    std::string strTitle;
    std::vector<ReportImage> images;
    nlohmann::json options = nlohmann::json::object();
    uint32_t dwOptionFlags = 0;
    WallTime started{};
    std::optional<WallTime> downloadStarted;
    WallTime ended{};
    std::string strResult;  // "finished", "failed", "no handset", "interrupted"
    int nExitStatus = 0;
    std::vector<ReportPort> ports;
};

// UTC with milliseconds, e.g. "2024-05-01T12:00:00.250Z".
std::string IsoTime(WallTime time);
// The lines of log entries, without their line ends.
std::vector<std::string> LogLines(std::string_view entries);

nlohmann::json ReportJson(const JobReport& report);

// "port3-SIM3.log"; characters a file name should not carry become '_'.
std::string PortLogFileName(int port, const std::string& device);
// One file per port in `directory`, the port's lines in the platform's line ends. False with a
// reason when a file cannot be written.
bool WritePortLogs(const std::string& directory, const std::vector<ReportPort>& ports,
                   std::string& error);

}  // namespace varnel
