#include "dbcommands.h"

#include <station/db/database.h>
#include <station/db/queries.h>
#include <station/record.h>
#include <varnakcli.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

namespace halyard::cli {

namespace {

using namespace halyard::station::db;
using varnak::cli::kExitFailure;
using varnak::cli::kExitSuccess;
using varnak::cli::kExitUsage;

constexpr const char* kQueryExitHelp =
    "Exit status: 0 the answer was printed, 1 the database could not be read (or the output was "
    "closed), 2 usage error.";

std::optional<std::string> Given(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

void AddFilterOptions(CLI::App* command, QuerySettings& s) {
    command->add_option("--station", s.station, "only this station's records (default: all)");
    command->add_option("--operation", s.operation, "only read, program or restart (default: all)")
        ->check(CLI::IsMember({"read", "program", "restart"}));
    command->add_option("--since", s.since,
                        "only records that started at or after this UTC time, e.g. 2026-12-01 "
                        "or 2026-12-01T06:00 (default: from the first)");
    command->add_option("--until", s.until,
                        "only records that started before this UTC time (default: to the last)");
    auto* json = command->add_flag("--json", s.json, "print JSON (default: a table)");
    auto* csv = command->add_flag("--csv", s.csv, "print CSV (default: a table)");
    json->excludes(csv);
}

}  // namespace

CLI::Option* AddDatabaseOption(CLI::App* command, std::string& url) {
    return command->add_option(
        "--db", url,
        "the unit-record database: a file path or sqlite:PATH (a SQLite file, shared by the "
        "stations of this machine), or postgresql://USER@HOST/DATABASE (a server, shared by a "
        "factory's stations; libpq's environment, service and password files apply)");
}

DatabaseCommands::DatabaseCommands(CLI::App& app, Printer& out, Printer& err)
    : mOut(out), mErr(err) {
    QuerySettings& s = mSettings;
    mUnits = app.add_subcommand("units", "list the stored unit records, the newest first");
    AddDatabaseOption(mUnits, s.db)->required();
    mUnits->add_option("--serial", s.serial, "only this unit (its address, e.g. 00A1B2C3D4E5)");
    mUnits->add_option("--port", s.port, "only this port (default: all)");
    mUnits->add_option("--result", s.result, "only ok, failed or interrupted (default: all)")
        ->check(CLI::IsMember({"ok", "failed", "interrupted"}));
    AddFilterOptions(mUnits, s);
    mUnits->add_option("--limit", s.limit, "at most N records (default: all)")
        ->transform(varnak::cli::DecimalNumber())
        ->check(CLI::PositiveNumber);
    mUnits->footer(std::string("With --json each record is printed as the station stored it, one "
                               "a line; with --csv a header line and one line per record.\n") +
                   kQueryExitHelp);

    mReport = app.add_subcommand(
        "report", "yield per port, per station and per day, and the retries per port");
    AddDatabaseOption(mReport, s.db)->required();
    AddFilterOptions(mReport, s);
    mReport->footer(std::string("Yield is the share of operations that ended ok; a port whose "
                                "retries grow has a worn cradle or cable.\n") +
                    kQueryExitHelp);

    auto* db = app.add_subcommand("db", "the unit-record database itself");
    db->require_subcommand(1);
    mSync = db->add_subcommand("sync",
                               "send the records that wait in a station's spool to the database");
    AddDatabaseOption(mSync, s.db)->required();
    mSync->add_option("--log", s.log,
                      "the spool is this log file, as the stations gave it with --log (default: "
                      "the spool the stations of this user keep for the database)");
    mSync->footer(
        "Exit status: 0 every waiting record is stored, 1 the database could not be reached or "
        "refused a record (they keep waiting), 2 usage error.");
}

int DatabaseCommands::Run() {
    if (!mUnits->parsed() && !mReport->parsed() && !mSync->parsed()) {
        return -1;
    }
    return mUnits->parsed() ? Units() : mReport->parsed() ? Report() : Sync();
}

namespace {

// `asking`: a question, which must not leave a new empty database file behind a mistyped name.
// `parsed` gets the database's URL.
std::unique_ptr<Database> OpenFor(const QuerySettings& s, bool asking, DatabaseUrl& parsed,
                                  Printer& err, int& code) {
    std::string why;
    const std::optional<DatabaseUrl> url = DatabaseUrl::Parse(s.db, why);
    if (!url) {
        err.Write("halyard-cli: --db: " + why + "\nRun with --help for more information.\n");
        code = kExitUsage;
        return nullptr;
    }
    parsed = *url;
    std::error_code ec;
    if (asking && url->kind == DatabaseUrl::Kind::Sqlite &&
        !std::filesystem::exists(url->target, ec)) {
        err.Write("halyard-cli: database " + url->Shown() + ": there is no such file\n");
        code = kExitFailure;
        return nullptr;
    }
    std::unique_ptr<Database> db = Database::Open(*url, why);
    if (!db) {
        err.Write("halyard-cli: database " + url->Shown() + ": " + why + "\n");
        code = kExitFailure;
    }
    return db;
}

// The filter of the options, or a usage error's text.
std::optional<Filter> MakeFilter(const QuerySettings& s, std::string& error) {
    Filter filter;
    filter.serial = Given(s.serial);
    filter.port = Given(s.port);
    filter.station = Given(s.station);
    filter.result = Given(s.result);
    filter.operation = Given(s.operation);
    filter.limit = s.limit;
    for (const auto& [given, into, name] :
         {std::tuple{&s.since, &filter.since, "--since"}, {&s.until, &filter.until, "--until"}}) {
        if (given->empty()) {
            continue;
        }
        *into = NormalTime(*given);
        if (!*into) {
            error = std::string(name) + " must be a UTC time such as 2026-12-01 or " +
                    "2026-12-01T06:00:00Z, not '" + *given + "'";
            return std::nullopt;
        }
    }
    return filter;
}

}  // namespace

int DatabaseCommands::Units() {
    std::string why;
    const std::optional<Filter> filter = MakeFilter(mSettings, why);
    if (!filter) {
        mErr.Write("halyard-cli: " + why + "\nRun with --help for more information.\n");
        return kExitUsage;
    }
    int code = kExitSuccess;
    DatabaseUrl url;
    const std::unique_ptr<Database> db = OpenFor(mSettings, true, url, mErr, code);
    if (!db) {
        return code;
    }
    std::vector<Json> records;
    if (!QueryUnits(*db, *filter, records, why)) {
        mErr.Write("halyard-cli: cannot read the records: " + why + "\n");
        return kExitFailure;
    }
    if (mSettings.json) {
        for (const Json& record : records) {
            mOut.Write(record.dump() + "\n");
        }
    } else if (mSettings.csv) {
        std::string text = CsvLine(UnitColumns()) + "\r\n";
        for (const Json& record : records) {
            text += CsvLine(UnitCells(record)) + "\r\n";
        }
        mOut.Write(text);
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const Json& record : records) {
            rows.push_back(UnitCells(record));
        }
        std::vector<std::string> header;
        for (const std::string& column : UnitColumns()) {
            std::string upper;
            for (const char c : column) {
                upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            header.push_back(upper);
        }
        mOut.Write(TextTable(header, rows) + std::to_string(records.size()) +
                   (records.size() == 1 ? " record\n" : " records\n"));
    }
    return mOut.Closed() ? kExitFailure : kExitSuccess;
}

int DatabaseCommands::Report() {
    std::string why;
    const std::optional<Filter> filter = MakeFilter(mSettings, why);
    if (!filter) {
        mErr.Write("halyard-cli: " + why + "\nRun with --help for more information.\n");
        return kExitUsage;
    }
    int code = kExitSuccess;
    DatabaseUrl url;
    const std::unique_ptr<Database> db = OpenFor(mSettings, true, url, mErr, code);
    if (!db) {
        return code;
    }
    station::db::Report report;
    if (!QueryReport(*db, *filter, report, why)) {
        mErr.Write("halyard-cli: cannot read the records: " + why + "\n");
        return kExitFailure;
    }
    if (mSettings.json) {
        mOut.Write(ReportJson(report).dump() + "\n");
        return mOut.Closed() ? kExitFailure : kExitSuccess;
    }
    // One table for CSV, with the section in the first column; three for a terminal.
    // The keys, the counts, the yield (a percentage on a terminal, a number in CSV), then
    // `more`.
    const auto cells = [](const YieldRow& row, std::vector<std::string> keys, bool percent,
                          const std::vector<std::string>& more) {
        char yield[32];
        std::snprintf(yield, sizeof yield, percent ? "%.1f%%" : "%.1f", row.Yield());
        keys.insert(keys.end(), {std::to_string(row.units), std::to_string(row.ok),
                                 std::to_string(row.failed), yield});
        keys.insert(keys.end(), more.begin(), more.end());
        return keys;
    };
    if (mSettings.csv) {
        std::string text = CsvLine({"section", "station", "port", "day", "units", "ok", "failed",
                                    "yield", "retries"}) +
                           "\r\n";
        for (const YieldRow& row : report.ports) {
            text += CsvLine(cells(row, {"port", row.station, row.port, ""}, false,
                                  {std::to_string(row.retries)})) +
                    "\r\n";
        }
        for (const YieldRow& row : report.stations) {
            text += CsvLine(cells(row, {"station", row.station, "", ""}, false, {""})) + "\r\n";
        }
        for (const YieldRow& row : report.days) {
            text += CsvLine(cells(row, {"day", "", "", row.day}, false, {""})) + "\r\n";
        }
        mOut.Write(text);
        return mOut.Closed() ? kExitFailure : kExitSuccess;
    }
    std::vector<std::vector<std::string>> ports, stations, days;
    for (const YieldRow& row : report.ports) {
        ports.push_back(cells(row, {row.station, row.port}, true, {std::to_string(row.retries)}));
    }
    for (const YieldRow& row : report.stations) {
        stations.push_back(cells(row, {row.station}, true, {}));
    }
    for (const YieldRow& row : report.days) {
        days.push_back(cells(row, {row.day}, true, {}));
    }
    mOut.Write("Per port\n" +
               TextTable({"STATION", "PORT", "UNITS", "OK", "FAILED", "YIELD", "RETRIES"}, ports) +
               "\nPer station\n" +
               TextTable({"STATION", "UNITS", "OK", "FAILED", "YIELD"}, stations) +
               "\nPer day (UTC)\n" + TextTable({"DAY", "UNITS", "OK", "FAILED", "YIELD"}, days));
    return mOut.Closed() ? kExitFailure : kExitSuccess;
}

int DatabaseCommands::Sync() {
    std::string why;
    int code = kExitSuccess;
    DatabaseUrl url;
    const std::unique_ptr<Database> db = OpenFor(mSettings, false, url, mErr, code);
    if (!db) {
        return code;
    }
    const std::string spool = mSettings.log.empty() ? DefaultSpoolPath(url) : mSettings.log;
    const std::string host = station::HostName();
    uint64_t position = 0;
    SendCounts counts;
    const bool sent = SentPosition(*db, host, SpoolKey(spool), position, why) &&
                      SendSpool(*db, host, spool, position, counts, why);
    std::string summary = "halyard-cli: " + std::to_string(counts.sent) +
                          (counts.sent == 1 ? " record" : " records") + " sent to the database";
    if (counts.already > 0) {
        summary += ", " + std::to_string(counts.already) + " stored before";
    }
    if (counts.skipped > 0) {
        summary += ", " + std::to_string(counts.skipped) + " lines of the spool are no record";
    }
    mErr.Write(summary + "\n");
    if (!sent) {
        mErr.Write("halyard-cli: database " + url.Shown() + ": " + why +
                   "; the other records keep waiting in the spool " + spool + "\n");
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace halyard::cli
