// `varnel-cli history`: the recorded jobs newest first, or their ports, filtered, as text, JSON
// or CSV; with --stats the yield per day and per port and the most common failures.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/history/history_schema.h"
#include "app/job_history.h"
#include "app/program_arguments.h"
#include "images/format_entry.h"

namespace varnel {

namespace {

constexpr int kExitUnreadable = 1;
constexpr int kFailureRows = 10;

// Rows of named values; each output format lays them out its own way. `textColumns` are the
// columns the terminal table shows (all when empty).
struct Table {
    std::vector<std::string> columns;
    std::vector<nlohmann::json> rows;  // objects keyed by column
    std::vector<std::string> textColumns;
};

// A WHERE clause and the values for its parameters, in order.
struct Conditions {
    std::string sql;
    std::vector<std::string> values;
    bool bOnJobs = false;  // a condition reads the jobs `j`

    void Add(const std::string& condition, const std::string& value, bool onJobs) {
        sql += (sql.empty() ? " WHERE " : " AND ") + condition;
        values.push_back(value);
        bOnJobs = bOnJobs || onJobs;
    }
    void BindTo(SqliteStatement& statement, int first = 1) const {
        for (const std::string& value : values) {
            statement.Bind(first++, value);
        }
    }
};

// The filters on jobs `j` (and, for a list of ports, their ports `p`).
Conditions FiltersOf(const HistoryQuery& query, bool ports) {
    Conditions conditions;
    if (!query.since.empty()) {
        conditions.Add("j.started >= ?", query.since, true);
    }
    if (!query.serial.empty()) {
        conditions.Add(ports ? "p.serial = ?"
                             : "EXISTS (SELECT 1 FROM ports s WHERE s.job = j.id AND s.serial = ?)",
                       query.serial, !ports);
    }
    if (!query.outcome.empty()) {
        conditions.Add(ports ? "p.outcome = ?" : "coalesce(j.result, 'interrupted') = ?",
                       query.outcome, !ports);
    }
    if (!query.imageSha256.empty()) {
        conditions.Add("EXISTS (SELECT 1 FROM images i WHERE i.job = j.id AND i.sha256 = ?)",
                       query.imageSha256, true);
    }
    if (!query.jobId.empty()) {
        conditions.Add("j.job_id = ?", query.jobId, true);
    }
    return conditions;
}

nlohmann::json OptionalText(const SqliteStatement& row, int column) {
    return row.IsNull(column) ? nlohmann::json(nullptr) : nlohmann::json(row.Text(column));
}

nlohmann::json ImagesOf(const SqliteDatabase& db, int64_t job) {
    SqliteStatement query(
        db, "SELECT kind, path, size, sha256, byte_sum FROM images WHERE job = ? ORDER BY rowid");
    query.Bind(1, job);
    nlohmann::json images = nlohmann::json::array();
    while (query.Step()) {
        images.push_back({{"kind", query.Text(0)},
                          {"path", query.Text(1)},
                          {"size", query.Integer(2)},
                          {"sha256", query.Text(3)},
                          {"byte_sum32", Hex32(static_cast<uint32_t>(query.Integer(4)))}});
    }
    return images;
}

Table ListJobs(const SqliteDatabase& db, const HistoryQuery& filters) {
    const Conditions conditions = FiltersOf(filters, false);
    SqliteStatement query(
        db,
        "SELECT j.id, j.job_id, j.bench, j.job_number, j.started, j.ended, "
        "coalesce(j.result, 'interrupted'), j.exit_status, j.option_word, j.options, "
        "(SELECT count(*) FROM ports p WHERE p.job = j.id), "
        "(SELECT count(*) FROM ports p WHERE p.job = j.id AND p.outcome = 'finished'), "
        "(SELECT count(*) FROM ports p WHERE p.job = j.id AND p.outcome = 'failed') "
        "FROM jobs j" +
            conditions.sql + " ORDER BY j.started DESC, j.id DESC LIMIT ?");
    conditions.BindTo(query);
    query.Bind(static_cast<int>(conditions.values.size()) + 1, int64_t{filters.limit});
    Table table{{"started", "ended", "bench", "job", "result", "exit_status", "ports", "finished",
                 "failed", "option_word", "options", "images", "job_id"},
                {},
                {"started", "bench", "job", "result", "ports", "finished", "failed", "job_id"}};
    while (query.Step()) {
        nlohmann::json row = {
            {"job_id", query.Text(1)},
            {"bench", query.Text(2)},
            {"job", query.Integer(3)},
            {"started", query.Text(4)},
            {"ended", OptionalText(query, 5)},
            {"result", query.Text(6)},
            {"exit_status",
             query.IsNull(7) ? nlohmann::json(nullptr) : nlohmann::json(query.Integer(7))},
            {"option_word", Hex32(static_cast<uint32_t>(query.Integer(8)))},
            {"options", nlohmann::json::parse(query.Text(9), nullptr, false)},
            {"ports", query.Integer(10)},
            {"finished", query.Integer(11)},
            {"failed", query.Integer(12)},
            {"images", ImagesOf(db, query.Integer(0))},
        };
        if (row["options"].is_discarded()) {
            row["options"] = nullptr;
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

Table ListPorts(const SqliteDatabase& db, const HistoryQuery& filters) {
    const Conditions conditions = FiltersOf(filters, true);
    SqliteStatement query(db,
                          "SELECT j.started, j.bench, j.job_number, p.port, p.device, p.serial, "
                          "p.port_path, p.outcome, p.status_code, p.status_text, p.seconds, "
                          "p.bytes_written, j.job_id FROM ports p JOIN jobs j ON j.id = p.job" +
                              conditions.sql +
                              " ORDER BY j.started DESC, j.id DESC, p.port LIMIT ?");
    conditions.BindTo(query);
    query.Bind(static_cast<int>(conditions.values.size()) + 1, int64_t{filters.limit});
    Table table{{"started", "bench", "job", "port", "device", "serial", "port_path", "outcome",
                 "status_code", "status_text", "seconds", "bytes_written", "job_id"},
                {},
                {"started", "bench", "job", "port", "serial", "port_path", "outcome", "status_code",
                 "status_text", "seconds"}};
    while (query.Step()) {
        table.rows.push_back({{"started", query.Text(0)},
                              {"bench", query.Text(1)},
                              {"job", query.Integer(2)},
                              {"port", query.Integer(3)},
                              {"device", query.Text(4)},
                              {"serial", query.Text(5)},
                              {"port_path", query.Text(6)},
                              {"outcome", query.Text(7)},
                              {"status_code", query.Integer(8)},
                              {"status_text", query.Text(9)},
                              {"seconds", query.Real(10)},
                              {"bytes_written", query.Integer(11)},
                              {"job_id", query.Text(12)}});
    }
    return table;
}

// The ports of the filtered jobs; their jobs joined in only when a filter needs them.
std::string PortsOf(const Conditions& conditions) {
    return conditions.bOnJobs ? " FROM ports p JOIN jobs j ON j.id = p.job" : " FROM ports p";
}

// Ports, finished and failed counted per value of `key` (a column of the ports): the yield of
// each.
Table YieldBy(const SqliteDatabase& db, const HistoryQuery& filters, const std::string& key,
              const std::string& order) {
    const Conditions conditions = FiltersOf(filters, true);
    SqliteStatement query(db, "SELECT p." + key +
                                  ", count(*), sum(p.outcome = 'finished'), "
                                  "sum(p.outcome = 'failed')" +
                                  PortsOf(conditions) + conditions.sql + " GROUP BY p." + key +
                                  " ORDER BY p." + key + " " + order);
    conditions.BindTo(query);
    Table table{{key, "ports", "finished", "failed", "yield"}, {}, {}};
    while (query.Step()) {
        const int64_t ports = query.Integer(1);
        const int64_t finished = query.Integer(2);
        table.rows.push_back(
            {{key,
              key == "port" ? nlohmann::json(query.Integer(0)) : nlohmann::json(query.Text(0))},
             {"ports", ports},
             {"finished", finished},
             {"failed", query.Integer(3)},
             {"yield",
              ports > 0 ? static_cast<double>(finished) / static_cast<double>(ports) : 0.0}});
    }
    return table;
}

Table CommonFailures(const SqliteDatabase& db, const HistoryQuery& filters) {
    HistoryQuery failed = filters;
    failed.outcome = "failed";
    const Conditions conditions = FiltersOf(failed, true);
    SqliteStatement query(db, "SELECT count(*) AS n, p.status_code, p.status_text" +
                                  PortsOf(conditions) + conditions.sql +
                                  " GROUP BY p.status_code, p.status_text "
                                  "ORDER BY n DESC, p.status_code LIMIT " +
                                  std::to_string(kFailureRows));
    conditions.BindTo(query);
    Table table{{"count", "status_code", "status_text"}, {}, {}};
    while (query.Step()) {
        table.rows.push_back({{"count", query.Integer(0)},
                              {"status_code", query.Integer(1)},
                              {"status_text", query.Text(2)}});
    }
    return table;
}

std::string Cell(const nlohmann::json& value, const std::string& column) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_null()) {
        return "";
    }
    if (column == "yield" && value.is_number()) {
        return FormatEntry("%.1f%%", value.get<double>() * 100);
    }
    if (column == "seconds" && value.is_number()) {
        return FormatEntry("%.1f", value.get<double>());
    }
    if (column == "images" && value.is_array()) {
        std::string images;
        for (const nlohmann::json& image : value) {
            images += (images.empty() ? "" : ";") + image.value("kind", std::string()) + "=" +
                      image.value("sha256", std::string());
        }
        return images;
    }
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string TextTable(const Table& table) {
    const std::vector<std::string>& columns =
        table.textColumns.empty() ? table.columns : table.textColumns;
    std::vector<size_t> widths;
    for (const std::string& column : columns) {
        widths.push_back(column.size());
    }
    std::vector<std::vector<std::string>> cells;
    for (const nlohmann::json& row : table.rows) {
        std::vector<std::string>& line = cells.emplace_back();
        for (size_t index = 0; index < columns.size(); ++index) {
            line.push_back(Cell(row[columns[index]], columns[index]));
            widths[index] = std::max(widths[index], line.back().size());
        }
    }
    std::string text;
    const auto addLine = [&](const std::vector<std::string>& line) {
        std::string out;
        for (size_t index = 0; index < line.size(); ++index) {
            out += line[index];
            if (index + 1 < line.size()) {
                out += std::string(widths[index] - line[index].size() + 2, ' ');
            }
        }
        text += out + "\n";
    };
    std::vector<std::string> header;
    for (const std::string& column : columns) {
        std::string name = column;
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return c == '_' ? ' ' : std::toupper(c); });
        header.push_back(name);
    }
    addLine(header);
    for (const std::vector<std::string>& line : cells) {
        addLine(line);
    }
    return text;
}

std::string CsvField(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string CsvTable(const Table& table) {
    std::string text;
    for (size_t index = 0; index < table.columns.size(); ++index) {
        text += (index > 0 ? "," : "") + table.columns[index];
    }
    text += "\r\n";
    for (const nlohmann::json& row : table.rows) {
        for (size_t index = 0; index < table.columns.size(); ++index) {
            const std::string& column = table.columns[index];
            const nlohmann::json& value = row[column];
            const std::string cell =
                column == "options" && !value.is_null()
                    ? value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                    : Cell(value, column == "seconds" ? "" : column);
            text += (index > 0 ? "," : "") + CsvField(cell);
        }
        text += "\r\n";
    }
    return text;
}

nlohmann::json JsonRows(const Table& table) {
    return nlohmann::json(table.rows);
}

std::string Dump(const nlohmann::json& json) {
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string Statistics(const SqliteDatabase& db, const HistoryQuery& query) {
    const Table days = YieldBy(db, query, "day", "DESC");
    const Table ports = YieldBy(db, query, "port", "ASC");
    const Table failures = CommonFailures(db, query);
    if (query.json) {
        return Dump({{"per_day", JsonRows(days)},
                     {"per_port", JsonRows(ports)},
                     {"failures", JsonRows(failures)}});
    }
    return "Yield per day\n" + TextTable(days) + "\nYield per port\n" + TextTable(ports) +
           "\nMost common failures\n" + TextTable(failures);
}

bool CheckQuery(HistoryQuery& query, std::string& error) {
    static const std::regex kDate(R"(\d{4}-\d\d-\d\d([T ]\d\d:\d\d(:\d\d(\.\d+)?)?Z?)?)");
    static const std::regex kSha256("[0-9A-Fa-f]{64}");
    if (!query.since.empty() && !std::regex_match(query.since, kDate)) {
        error = "--since takes a UTC date, YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]";
        return false;
    }
    std::replace(query.since.begin(), query.since.end(), ' ', 'T');
    if (!query.imageSha256.empty() && !std::regex_match(query.imageSha256, kSha256)) {
        error = "--image-sha256 takes 64 hex digits";
        return false;
    }
    std::transform(query.imageSha256.begin(), query.imageSha256.end(), query.imageSha256.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (query.stats && query.csv) {
        error = "--csv lists jobs or ports; --stats prints text or --json";
        return false;
    }
    if (query.path.empty()) {
        error = "no history file: set XDG_DATA_HOME or HOME, or give --history FILE";
        return false;
    }
    return true;
}

// Runs `read` on the history at `path`; false with `error` when the file is not there or cannot
// be read.
template <typename Read>
bool ReadHistory(const std::string& path, Read read, std::string& error) {
    if (std::error_code code; !std::filesystem::exists(path, code)) {
        error = "no history at '" + path + "' yet";
        return false;
    }
    try {
        const std::unique_ptr<SqliteDatabase> db = OpenHistoryDatabase(path, false);
        read(*db);
    } catch (const SqliteError& failure) {
        error = "cannot read '" + path + "': " + failure.what();
        return false;
    }
    return true;
}

}  // namespace

bool ListHistory(const HistoryQuery& query, nlohmann::json& rows, std::string& error) {
    return ReadHistory(
        query.path,
        [&](const SqliteDatabase& db) {
            rows = JsonRows(query.ports ? ListPorts(db, query) : ListJobs(db, query));
        },
        error);
}

int RunHistoryCommand(const char* program, int argc, char** argv) {
    HistoryQuery query;
    CLI::App app("Lists the jobs this bench recorded, newest first, or their statistics.",
                 std::string(program) + " history");
    app.get_formatter()->column_width(30);
    app.add_option("--history", query.path, "the history file (default: " + query.path + ")")
        ->type_name("FILE");
    app.add_option("--since", query.since, "only jobs started on or after DATE (UTC)")
        ->type_name("DATE");
    app.add_option("--serial", query.serial, "only jobs (or ports) with this handset serial")
        ->type_name("S");
    app.add_option("--outcome", query.outcome,
                   "only jobs with this result (finished, failed, fewer handsets, no handset, "
                   "interrupted, bad input); with --ports, ports that ended so (finished, "
                   "failed, stopped)")
        ->type_name("O");
    app.add_option("--image-sha256", query.imageSha256, "only jobs that sent this image")
        ->type_name("HEX");
    app.add_option("--limit", query.limit, "at most N rows (default 50)")
        ->type_name("N")
        ->check(CLI::PositiveNumber.description(""));
    app.add_flag("--ports", query.ports, "one row per port instead of per job");
    app.add_flag("--stats", query.stats,
                 "the yield per day and per port, and the most common failures");
    auto* json = app.add_flag("--json", query.json, "print JSON");
    app.add_flag("--csv", query.csv, "print CSV")->excludes(json);
    if (const std::optional<int> status = ParseProgramArguments(app, argc, argv, program)) {
        return *status;
    }
    std::string error;
    if (!CheckQuery(query, error)) {
        std::fprintf(stderr, "%s: history: %s\n", program, error.c_str());
        return kExitBadArguments;
    }
    std::string text;
    const bool read = ReadHistory(
        query.path,
        [&](const SqliteDatabase& db) {
            if (query.stats) {
                text = Statistics(db, query);
                return;
            }
            const Table table = query.ports ? ListPorts(db, query) : ListJobs(db, query);
            text = query.json  ? Dump(JsonRows(table))
                   : query.csv ? CsvTable(table)
                               : TextTable(table);
        },
        error);
    if (!read) {
        std::fprintf(stderr, "%s: history: %s\n", program, error.c_str());
        return kExitUnreadable;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

}  // namespace varnel
