// What a bench job leaves behind besides the handsets: the JSON report and one log file per port.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
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
    std::string strSha256;   // SHA-256 of the whole file, hex
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
    uint64_t qwBytesSent = 0;  // what went to the handset, packets whole
    std::string strLog;        // the port's entries, each with its "\r\n"
    // A simulated handset's own record.
    std::optional<bool> bLaunched;
    std::vector<ReportFlash> flashed;
};

// The report's layout; raised whenever a key is renamed or removed (docs/report.schema.json).
inline constexpr int kReportSchemaVersion = 1;

struct JobReport {
    std::string strTitle;
    std::string strVersion;  // the program's version and the commit it was built from
    std::string strCommit;
    int nJob = 1;  // which job of a --loop run, from 1
    std::vector<ReportImage> images;
    nlohmann::json options = nlohmann::json::object();  // keys in snake_case
    uint32_t dwOptionFlags = 0;
    WallTime started{};
    std::optional<WallTime> downloadStarted;
    WallTime ended{};
    // "finished", "failed", "fewer handsets", "no handset", "interrupted", "bad input"
    std::string strResult;
    std::string strError;         // why a bad input ended the job before anything was sent
    std::string strHistoryError;  // why the bench's history did not record the job whole
    int nExitStatus = 0;
    int nPortsExpected = 0;
    int nPortsAttached = 0;
    std::vector<ReportPort> ports;
};

// UTC with milliseconds, e.g. "2024-05-01T12:00:00.250Z".
std::string IsoTime(WallTime time);
// 128 random bits as 32 hex digits: an id no other job or run of a program shares.
std::string RandomId();
// Puts the time, as IsoTime and a space, before every line of a text that arrives in pieces.
class LineStamps {
  public:
    std::string Apply(std::string_view text, WallTime now);

  private:
    bool m_bLineStart = true;
};

// The lines of log entries, without their line ends.
std::vector<std::string> LogLines(std::string_view entries);

// A byte sum or flag word as the reports write it: "0x0001ABCD".
std::string Hex32(uint32_t value);

// "--keep-eboot-cfg" as the options' key: "keep_eboot_cfg".
std::string ReportKey(std::string_view option);
// Entry `index` of a list as the options give it ({"index", "entry"}); null when it has none.
nlohmann::json ReportListEntry(const std::vector<std::string>& entries, int index);

// The options with the list entries an image named in UTF-8.
nlohmann::json OptionsInUtf8(nlohmann::json options);
// Every text in UTF-8 (log_text.h), so that any bytes an image carries can be written.
nlohmann::json ReportJson(const JobReport& report);

// "port3-SIM3.log"; characters a file name should not carry become '_'.
std::string PortLogFileName(int port, const std::string& device);
// The port logs of a job, one file per port in a folder, written as the lines come (in UTF-8, the
// platform's line ends and each line's time first), so a process that is killed leaves them up to
// its last line.
class PortLogFiles {
  public:
    // `refuse`: whether a path is a file that must not be written (an image, another output).
    PortLogFiles(std::string directory, std::function<bool(const std::string&)> refuse);
    ~PortLogFiles();
    PortLogFiles(const PortLogFiles&) = delete;
    PortLogFiles& operator=(const PortLogFiles&) = delete;

    // Appends what the port's record gained since the last call; a record that shrank belongs
    // to a new handset on the port, whose file is started afresh. False with a reason when the
    // file cannot be written.
    bool Update(int port, const std::string& device, const std::string& record, std::string& error);

  private:
    struct File {
        FILE* pFile = nullptr;
        std::string strName;
        size_t nWritten = 0;
        LineStamps stamps;
    };
    bool Open(File& file, const std::string& name, std::string& error);

    std::string m_strDirectory;
    std::function<bool(const std::string&)> m_refuse;
    std::array<File, 8> m_files;  // one per port
};

}  // namespace varnel
