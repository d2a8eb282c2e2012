// The questions a line asks of its records: which operations a unit, a port or a station had,
// and the yield and retries per port, per station and per day.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database.h"

namespace halyard::station::db {

struct Filter {
    std::optional<std::string> serial;
    std::optional<std::string> port;
    std::optional<std::string> station;
    std::optional<std::string> result;
    std::optional<std::string> operation;
    std::optional<std::string> since;  // ISO 8601 UTC as NormalTime gives it: start at or after
    std::optional<std::string> until;  // start before
    size_t limit = 0;                  // 0: every record
};

// A time as given on the command line ("2026-12-10", "2026-12-10T08:00",
// "2026-12-10T08:00:00.5Z") in the records' form "2026-12-10T08:00:00.500Z"; nullopt when
// it is not one.
std::optional<std::string> NormalTime(const std::string& text);

// The records that match, newest first: each as the station stored it (built from the columns
// for operations stored before whole records were kept).
bool QueryUnits(Database& db, const Filter& filter, std::vector<Json>& records, std::string& error);

struct YieldRow {
    std::string station;  // per port and per station
    std::string port;     // per port
    std::string day;      // per day: YYYY-MM-DD (UTC)
    long long units = 0;  // operations
    long long ok = 0;
    long long failed = 0;   // failed and interrupted
    long long retries = 0;  // failed tries of keys, summed: a worn cradle shows here
    double Yield() const { return units == 0 ? 0 : 100.0 * static_cast<double>(ok) / units; }
};

struct Report {
    std::vector<YieldRow> ports;
    std::vector<YieldRow> stations;
    std::vector<YieldRow> days;
};

bool QueryReport(Database& db, const Filter& filter, Report& report, std::string& error);

Json ReportJson(const Report& report);

// The columns of `units` as a table and as CSV, and a record's cells in them.
const std::vector<std::string>& UnitColumns();
std::vector<std::string> UnitCells(const Json& record);

// A CSV line (RFC 4180 quoting, CRLF not added); a cell that a spreadsheet would run as a
// formula (starting with = + - @, a tab or a carriage return) gets a leading '.
std::string CsvLine(const std::vector<std::string>& cells);

// Cells laid out in columns, for a terminal.
std::string TextTable(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows);

}  // namespace halyard::station::db
