#include "queries.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

namespace halyard::station::db {

namespace {

// The WHERE clause of a filter and its parameters.
std::string Where(const Filter& filter, std::vector<Value>& params) {
    std::vector<std::string> terms;
    const auto add = [&](const std::optional<std::string>& value, const std::string& term) {
        if (value) {
            params.push_back(*value);
            terms.push_back(term + " $" + std::to_string(params.size()));
        }
    };
    add(filter.serial, "serial =");
    add(filter.port, "port =");
    add(filter.station, "station =");
    add(filter.result, "result =");
    add(filter.operation, "operation =");
    add(filter.since, "start_time >=");
    add(filter.until, "start_time <");
    std::string where;
    for (const std::string& term : terms) {
        where += (where.empty() ? " WHERE " : " AND ") + term;
    }
    return where;
}

long long Number(const Value& cell) {
    return cell ? std::stoll(*cell) : 0;
}

Json TextOrNull(const Value& cell) {
    return cell ? Json(*cell) : Json();
}

// A record put together from the columns, for operations stored before whole records were.
Json FromColumns(const Row& row) {
    Json record;
    record["id"] = TextOrNull(row[1]);
    record["station"] = TextOrNull(row[2]);
    record["start"] = TextOrNull(row[3]);
    record["end"] = TextOrNull(row[4]);
    record["port"] = TextOrNull(row[5]);
    record["operation"] = TextOrNull(row[6]);
    if (row[7] && *row[7] == "1") {
        record["dryRun"] = true;
    }
    record["settingsFile"] = TextOrNull(row[8]);
    record["settingsSha256"] = TextOrNull(row[9]);
    record["identity"] = row[10] ? Json(std::stoll(*row[10])) : Json();
    record["kind"] = TextOrNull(row[11]);
    record["model"] = TextOrNull(row[12]);
    record["firmware"] = TextOrNull(row[13]);
    record["serial"] = TextOrNull(row[14]);
    record["stage"] = TextOrNull(row[15]);
    record["result"] = TextOrNull(row[16]);
    record["error"] = TextOrNull(row[17]);
    record["seconds"] = row[18] ? Json(std::stod(*row[18])) : Json();
    return record;
}

std::string Cell(const Json& record, const char* field) {
    const auto it = record.find(field);
    if (it == record.end() || it->is_null()) {
        return "";
    }
    return it->is_string() ? it->get<std::string>() : it->dump();
}

// One group of the report: `keys` are the columns it is grouped by, and `fields` the row's
// fields they fill, in the same order.
bool Yields(Database& db, const std::vector<std::string>& keys,
            const std::vector<std::string YieldRow::*>& fields, const Filter& filter,
            std::vector<YieldRow>& rows, std::string& error) {
    std::string group;
    for (const std::string& key : keys) {
        group += (group.empty() ? "" : ", ") + key;
    }
    std::vector<Value> params;
    const std::string sql = "SELECT " + group +
                            ", count(*), sum(CASE WHEN result = 'ok' THEN 1 ELSE 0 END), "
                            "coalesce(sum(retries), 0) FROM operations" +
                            Where(filter, params) + " GROUP BY " + group + " ORDER BY " + group;
    std::vector<Row> result;
    if (!db.Execute(sql, params, &result, error)) {
        return false;
    }
    const size_t count = keys.size();
    for (const Row& row : result) {
        YieldRow yield;
        for (size_t k = 0; k < count; ++k) {
            yield.*fields[k] = row[k].value_or("");
        }
        yield.units = Number(row[count]);
        yield.ok = Number(row[count + 1]);
        yield.failed = yield.units - yield.ok;
        yield.retries = Number(row[count + 2]);
        rows.push_back(std::move(yield));
    }
    return true;
}

Json YieldJson(const YieldRow& row, bool station, bool port, bool day) {
    Json object;
    if (station) {
        object["station"] = row.station;
    }
    if (port) {
        object["port"] = row.port;
    }
    if (day) {
        object["day"] = row.day;
    }
    object["units"] = row.units;
    object["ok"] = row.ok;
    object["failed"] = row.failed;
    object["yield"] = std::round(row.Yield() * 10) / 10;
    if (port) {
        object["retries"] = row.retries;
    }
    return object;
}

}  // namespace

std::optional<std::string> NormalTime(const std::string& text) {
    static const std::regex form(
        R"(^(\d{4}-\d{2}-\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,3}))?)?)?Z?$)");
    std::smatch parts;
    if (!std::regex_match(text, parts, form)) {
        return std::nullopt;
    }
    const auto part = [&parts](size_t i, const char* otherwise) {
        return parts[i].matched ? parts[i].str() : std::string(otherwise);
    };
    std::string millis = part(5, "000");
    millis.resize(3, '0');
    const std::string normal = parts[1].str() + "T" + part(2, "00") + ":" + part(3, "00") + ":" +
                               part(4, "00") + "." + millis + "Z";
    int year, month, day, hour, minute, second;
    if (std::sscanf(normal.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute,
                    &second) != 6 ||
        month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    return normal;
}

bool QueryUnits(Database& db, const Filter& filter, std::vector<Json>& records,
                std::string& error) {
    std::vector<Value> params;
    std::string sql =
        "SELECT record, id, station, start_time, end_time, port, operation, dry_run, "
        "settings_file, settings_sha256, identity, kind, model, firmware, serial, stage, result, "
        "error, seconds FROM operations" +
        Where(filter, params) + " ORDER BY start_time DESC, seq DESC";
    if (filter.limit > 0) {
        params.push_back(std::to_string(filter.limit));
        sql += " LIMIT $" + std::to_string(params.size());
    }
    std::vector<Row> rows;
    if (!db.Execute(sql, params, &rows, error)) {
        return false;
    }
    for (const Row& row : rows) {
        Json record = row[0] ? Json::parse(*row[0], nullptr, false) : Json();
        records.push_back(record.is_object() ? std::move(record) : FromColumns(row));
    }
    return true;
}

bool QueryReport(Database& db, const Filter& filter, Report& report, std::string& error) {
    return Yields(db, {"station", "coalesce(port, '')"}, {&YieldRow::station, &YieldRow::port},
                  filter, report.ports, error) &&
           Yields(db, {"station"}, {&YieldRow::station}, filter, report.stations, error) &&
           Yields(db, {"substr(start_time, 1, 10)"}, {&YieldRow::day}, filter, report.days, error);
}

Json ReportJson(const Report& report) {
    Json json;
    json["ports"] = Json::array();
    for (const YieldRow& row : report.ports) {
        json["ports"].push_back(YieldJson(row, true, true, false));
    }
    json["stations"] = Json::array();
    for (const YieldRow& row : report.stations) {
        json["stations"].push_back(YieldJson(row, true, false, false));
    }
    json["days"] = Json::array();
    for (const YieldRow& row : report.days) {
        json["days"].push_back(YieldJson(row, false, false, true));
    }
    return json;
}

const std::vector<std::string>& UnitColumns() {
    static const std::vector<std::string> columns = {"start",  "station", "port",     "serial",
                                                     "kind",   "model",   "firmware", "operation",
                                                     "result", "error"};
    return columns;
}

std::vector<std::string> UnitCells(const Json& record) {
    std::vector<std::string> cells;
    for (const std::string& column : UnitColumns()) {
        cells.push_back(Cell(record, column.c_str()));
    }
    return cells;
}

std::string CsvLine(const std::vector<std::string>& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        std::string cell = cells[i];
        if (!cell.empty() && std::string("=+-@\t\r").find(cell[0]) != std::string::npos) {
            cell.insert(0, "'");
        }
        if (cell.find_first_of(",\"\r\n") != std::string::npos) {
            std::string quoted = "\"";
            for (const char c : cell) {
                quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            }
            cell = quoted + "\"";
        }
        line += (i == 0 ? "" : ",") + cell;
    }
    return line;
}

std::string TextTable(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(header.size(), 0);
    const auto measure = [&widths](const std::vector<std::string>& cells) {
        for (size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], cells[i].size());
        }
    };
    measure(header);
    for (const auto& row : rows) {
        measure(row);
    }
    std::string text;
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            // Control characters in a stored value (a hand-made record) would move the cursor.
            std::string cell;
            for (const char c : cells[i]) {
                cell += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
            }
            out += cell;
            if (i + 1 < cells.size()) {
                out += std::string(widths[i] - cells[i].size() + 2, ' ');
            }
        }
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        text += out + "\n";
    };
    line(header);
    for (const auto& row : rows) {
        line(row);
    }
    return text;
}

}  // namespace halyard::station::db
