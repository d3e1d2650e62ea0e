// Fills a job history with many eight-port jobs (about 3% of ports failing, over 100 days) and
// times `varnel-cli history --stats` on it, the whole process, a few runs.
//
// usage: history_bench [--jobs N] [--repeat N] [--keep] [FILE]
// Without FILE the history is made in $TMPDIR or /tmp and removed after (unless --keep).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "app/history/history_schema.h"
#include "app/job_report.h"

#ifndef VARNEL_CLI_PROGRAM
#define VARNEL_CLI_PROGRAM "varnel-cli"
#endif

namespace {

using namespace varnel;

constexpr int kPorts = 8;

void Fill(const std::string& path, int jobs) {
    const std::unique_ptr<SqliteDatabase> db = OpenHistoryDatabase(path, true);
    SqliteTransaction transaction(*db);
    SqliteStatement job(*db,
                        "INSERT INTO jobs(job_id, bench, job_number, title, version, started, "
                        "ended, result, exit_status, options, option_word) "
                        "VALUES(?, 'bench-1', ?, 'T', '2.11', ?, ?, ?, ?, '{}', 0)");
    SqliteStatement image(*db,
                          "INSERT INTO images(job, kind, path, size, sha256, byte_sum) "
                          "VALUES(?, 'PDA', '/images/pda.nb0', 52428800, ?, 0)");
    SqliteStatement port(*db,
                         "INSERT INTO ports(job, port, device, serial, port_path, outcome, "
                         "status_code, status_text, seconds, bytes_written, day) "
                         "VALUES(?, ?, 'SIM', ?, '1-1', ?, ?, ?, 60.0, 52428800, ?)");
    std::mt19937 random(1);
    const WallTime first = std::chrono::system_clock::now() - std::chrono::hours(24 * 100);
    const auto step =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::hours(24 * 100)) / jobs;
    for (int index = 0; index < jobs; ++index) {
        const WallTime started = first + step * index;
        int failed = 0;
        for (int slot = 0; slot < kPorts; ++slot) {
            failed += random() % 100 < 3 ? 1 : 0;
        }
        job.Bind(1, std::to_string(index))
            .Bind(2, int64_t{index + 1})
            .Bind(3, IsoTime(started))
            .Bind(4, IsoTime(started + std::chrono::minutes(2)))
            .Bind(5, std::string(failed > 0 ? "failed" : "finished"))
            .Bind(6, int64_t{failed > 0 ? 1 : 0})
            .Run();
        const int64_t row = db->LastInsertId();
        image.Bind(1, row).Bind(2, std::string(64, "0123456789abcdef"[index % 16])).Run();
        int left = failed;
        for (int slot = 0; slot < kPorts; ++slot) {
            const bool fails = left > 0 && slot >= kPorts - failed;
            left -= fails ? 1 : 0;
            const uint32_t code = fails ? 200 + static_cast<uint32_t>(random() % 5) : 518;
            port.Bind(1, row)
                .Bind(2, int64_t{slot})
                .Bind(3, "SN" + std::to_string(index * kPorts + slot))
                .Bind(4, std::string(fails ? "failed" : "finished"))
                .Bind(5, int64_t{code})
                .Bind(6, fails ? "[FAIL] code " + std::to_string(code) : "Job Done.Launched!!")
                .Bind(7, IsoTime(started).substr(0, 10))
                .Run();
        }
    }
    transaction.Commit();
}

}  // namespace

int main(int argc, char** argv) {
    int jobs = 100000;
    int repeat = 3;
    bool keep = false;
    std::string path;
    for (int index = 1; index < argc; ++index) {
        const std::string arg = argv[index];
        if (arg == "--jobs" && index + 1 < argc) {
            jobs = std::atoi(argv[++index]);
        } else if (arg == "--repeat" && index + 1 < argc) {
            repeat = std::atoi(argv[++index]);
        } else if (arg == "--keep") {
            keep = true;
        } else {
            path = arg;
        }
    }
    if (jobs <= 0 || repeat <= 0) {
        std::fprintf(stderr, "usage: history_bench [--jobs N] [--repeat N] [--keep] [FILE]\n");
        return 2;
    }
    const bool scratch = path.empty();
    if (scratch) {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/history_bench-" +
               std::to_string(std::random_device()()) + ".sqlite3";
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        Fill(path, jobs);
        std::printf(
            "filled %s: %d jobs of %d ports in %.1f s\n", path.c_str(), jobs, kPorts,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    } catch (const SqliteError& error) {
        std::fprintf(stderr, "history_bench: %s\n", error.what());
        return 1;
    }
    const std::string command =
        std::string("'") + VARNEL_CLI_PROGRAM + "' history --stats --history '" + path + "'";
    int status = 0;
    for (int run = 0; run < repeat && status == 0; ++run) {
        const auto start = std::chrono::steady_clock::now();
        FILE* child = popen(command.c_str(), "r");
        if (child == nullptr) {
            std::perror("popen");
            return 1;
        }
        std::string output;
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, child)) > 0;) {
            output.append(buffer, got);
        }
        status = pclose(child);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("varnel-cli history --stats: %.3f s (%zu bytes of output, status %d)\n",
                    seconds, output.size(), status);
    }
    if (scratch && !keep) {
        std::error_code code;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(path + suffix, code);
        }
    }
    return status == 0 ? 0 : 1;
}
