// A unit record into the database: one transaction per unit operation, keyed by the record's
// id, so that sending a record again (after a lost connection, from a second station sharing
// the spool, or by `db sync`) stores nothing twice.
#include <algorithm>
#include <chrono>

#include "database.h"
#include "station/record.h"

namespace halyard::station::db {

namespace {

// A field as text, or NULL when it is missing or null: records from older spools may lack
// fields of later ones. A server refuses a NUL in text, and a record it refuses would hold up
// every record after it in the spool; so a spool line that was edited by hand and holds one
// loses it here.
Value Text(const Json& record, const char* field) {
    const auto it = record.find(field);
    if (it == record.end() || it->is_null()) {
        return std::nullopt;
    }
    std::string text = it->is_string() ? it->get<std::string>() : it->dump();
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

// A numeric field as text, or NULL when it is missing or not a number, for the same reason.
Value Number(const Json& record, const char* field, bool integer) {
    const auto it = record.find(field);
    if (it == record.end() || !it->is_number()) {
        return std::nullopt;
    }
    if (integer && (!it->is_number_integer() || it->get<long long>() < 0 ||
                    it->get<long long>() >= (1LL << 31))) {
        return std::nullopt;
    }
    return it->dump();
}

// The earlier or later of two ISO 8601 times is taken with CASE, which both databases read
// alike (the function's name differs: min/max against least/greatest).
constexpr const char* kStationUpsert =
    "INSERT INTO stations (name, first_seen, last_seen) VALUES ($1, $2, $3) "
    "ON CONFLICT (name) DO UPDATE SET "
    "first_seen = CASE WHEN excluded.first_seen < stations.first_seen "
    "THEN excluded.first_seen ELSE stations.first_seen END, "
    "last_seen = CASE WHEN excluded.last_seen > stations.last_seen "
    "THEN excluded.last_seen ELSE stations.last_seen END";

constexpr const char* kSettingsFileInsert =
    "INSERT INTO settings_files (sha256, path, first_seen) VALUES ($1, $2, $3) "
    "ON CONFLICT (sha256) DO NOTHING";

// A unit's identity is what its newest operation found; an older record sent late changes only
// its first sighting.
constexpr const char* kUnitUpsert =
    "INSERT INTO units (serial, identity, kind, model, firmware, first_seen, last_seen) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7) "
    "ON CONFLICT (serial) DO UPDATE SET "
    "identity = CASE WHEN excluded.last_seen >= units.last_seen "
    "THEN coalesce(excluded.identity, units.identity) ELSE units.identity END, "
    "kind = CASE WHEN excluded.last_seen >= units.last_seen "
    "THEN coalesce(excluded.kind, units.kind) ELSE units.kind END, "
    "model = CASE WHEN excluded.last_seen >= units.last_seen "
    "THEN coalesce(excluded.model, units.model) ELSE units.model END, "
    "firmware = CASE WHEN excluded.last_seen >= units.last_seen "
    "THEN coalesce(excluded.firmware, units.firmware) ELSE units.firmware END, "
    "first_seen = CASE WHEN excluded.first_seen < units.first_seen "
    "THEN excluded.first_seen ELSE units.first_seen END, "
    "last_seen = CASE WHEN excluded.last_seen > units.last_seen "
    "THEN excluded.last_seen ELSE units.last_seen END";

constexpr const char* kOperationInsert =
    "INSERT INTO operations (id, station, start_time, end_time, port, operation, dry_run, "
    "settings_file, settings_sha256, identity, kind, model, firmware, serial, stage, retries, "
    "result, error, seconds, record, stored_at) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, "
    "$19, $20, $21) ON CONFLICT (id) DO NOTHING RETURNING seq";

constexpr const char* kRetryInsert =
    "INSERT INTO operation_retries (operation_id, ps_key, tries) VALUES ($1, $2, $3)";

constexpr const char* kPositionUpsert =
    "INSERT INTO spool_positions (host, spool, position) VALUES ($1, $2, $3) "
    "ON CONFLICT (host, spool) DO UPDATE SET "
    "position = CASE WHEN excluded.position > spool_positions.position "
    "THEN excluded.position ELSE spool_positions.position END";

bool StoreInTransaction(Database& db, const Json& record, const SpoolPosition* position,
                        bool& inserted, std::string& error, const std::string* text) {
    const Value id = Text(record, "id");
    const Value station = Text(record, "station");
    const Value start = Text(record, "start");
    const Value end = Text(record, "end");
    const Value sha256 = Text(record, "settingsSha256");
    const Value serial = Text(record, "serial");
    const std::string storedAt = IsoTime(WallClock::now());
    // Failed tries per key; what is not a count of them is not stored.
    std::vector<std::pair<std::string, long long>> keyRetries;
    long long retries = 0;
    const auto retriesField = record.find("retries");
    if (retriesField != record.end() && retriesField->is_object()) {
        for (const auto& [key, tries] : retriesField->items()) {
            if (tries.is_number_integer() && tries.get<long long>() > 0 &&
                tries.get<long long>() < (1LL << 31) && key.find('\0') == std::string::npos) {
                keyRetries.emplace_back(key, tries.get<long long>());
                retries += tries.get<long long>();
            }
        }
    }
    if (!db.Execute(kStationUpsert, {station, start, end}, nullptr, error)) {
        return false;
    }
    if (sha256 && !db.Execute(kSettingsFileInsert, {sha256, Text(record, "settingsFile"), start},
                              nullptr, error)) {
        return false;
    }
    const Value identity = Number(record, "identity", true);
    if (serial && !db.Execute(kUnitUpsert,
                              {serial, identity, Text(record, "kind"), Text(record, "model"),
                               Text(record, "firmware"), start, end},
                              nullptr, error)) {
        return false;
    }
    std::vector<Row> seq;
    if (!db.Execute(kOperationInsert,
                    {id,
                     station,
                     start,
                     end,
                     Text(record, "port"),
                     Text(record, "operation"),
                     std::string(record.contains("dryRun") && record["dryRun"] == true ? "1" : "0"),
                     Text(record, "settingsFile"),
                     sha256,
                     identity,
                     Text(record, "kind"),
                     Text(record, "model"),
                     Text(record, "firmware"),
                     serial,
                     Text(record, "stage"),
                     std::to_string(retries),
                     Text(record, "result"),
                     Text(record, "error"),
                     Number(record, "seconds", false),
                     text ? *text : record.dump(),
                     storedAt},
                    &seq, error)) {
        return false;
    }
    inserted = !seq.empty();
    for (const auto& [key, tries] : inserted ? keyRetries : decltype(keyRetries){}) {
        if (!db.Execute(kRetryInsert, {id, key, std::to_string(tries)}, nullptr, error)) {
            return false;
        }
    }
    return !position || db.Execute(kPositionUpsert,
                                   {position->host, position->spool, std::to_string(position->end)},
                                   nullptr, error);
}

}  // namespace

bool IsUnitRecord(const Json& record) {
    const auto text = [&record](const char* field) {
        const auto it = record.find(field);
        return it != record.end() && it->is_string() && !it->get<std::string>().empty();
    };
    return record.is_object() && text("id") && text("station") && text("start") && text("end") &&
           text("result");
}

bool StoreRecord(Database& db, const Json& record, const SpoolPosition* position, bool& inserted,
                 std::string& error, const std::string* text) {
    inserted = false;
    if (!IsUnitRecord(record)) {
        error = "not a unit record (it needs id, station, start, end and result)";
        return false;
    }
    if (!db.BeginWrite(error)) {
        return false;
    }
    if (!StoreInTransaction(db, record, position, inserted, error, text) || !db.Commit(error)) {
        db.Rollback();
        inserted = false;
        return false;
    }
    return true;
}

bool SentPosition(Database& db, const std::string& host, const std::string& spool,
                  uint64_t& position, std::string& error) {
    std::vector<Row> rows;
    if (!db.Execute("SELECT position FROM spool_positions WHERE host = $1 AND spool = $2",
                    {host, spool}, &rows, error)) {
        return false;
    }
    position = rows.empty() || !rows[0][0] ? 0 : std::stoull(*rows[0][0]);
    return true;
}

}  // namespace halyard::station::db
