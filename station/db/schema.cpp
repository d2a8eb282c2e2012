// The schema, the same on both databases but for the arrival counter's type, created in an
// empty database and migrated forward from older versions, under a lock, so that many stations
// opening a new database at once create it once.
#include <string>

#include "backends.h"

namespace halyard::station::db {

namespace {

// Any number serves; it names the lock that schema changes take on a PostgreSQL server.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7361029384)";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Version 1: the stations, the settings files, the units and their operations.
constexpr const char* kVersion1 = R"(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE stations (
    name TEXT PRIMARY KEY,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL);
CREATE TABLE settings_files (
    sha256 TEXT PRIMARY KEY,
    path TEXT,
    first_seen TEXT NOT NULL);
CREATE TABLE units (
    serial TEXT PRIMARY KEY,
    identity INTEGER,
    kind TEXT,
    model TEXT,
    firmware TEXT,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL);
CREATE TABLE operations (
    seq {SERIAL},
    id TEXT NOT NULL UNIQUE,
    station TEXT NOT NULL REFERENCES stations (name),
    start_time TEXT NOT NULL,
    end_time TEXT NOT NULL,
    port TEXT,
    operation TEXT NOT NULL,
    dry_run INTEGER NOT NULL DEFAULT 0,
    settings_file TEXT,
    settings_sha256 TEXT REFERENCES settings_files (sha256),
    identity INTEGER,
    kind TEXT,
    model TEXT,
    firmware TEXT,
    serial TEXT REFERENCES units (serial),
    stage TEXT,
    result TEXT NOT NULL,
    error TEXT,
    seconds DOUBLE PRECISION,
    stored_at TEXT NOT NULL);
CREATE INDEX operations_start ON operations (start_time);
CREATE INDEX operations_serial ON operations (serial);
INSERT INTO schema_version (version) VALUES (1);
)";

// Version 2: the whole record and the retries of each key, for returns and worn cradles, and
// how far each station's spool has been sent.
constexpr const char* kVersion2 = R"(
ALTER TABLE operations ADD COLUMN retries INTEGER NOT NULL DEFAULT 0;
ALTER TABLE operations ADD COLUMN record TEXT;
CREATE TABLE operation_retries (
    operation_id TEXT NOT NULL REFERENCES operations (id),
    ps_key TEXT NOT NULL,
    tries INTEGER NOT NULL,
    PRIMARY KEY (operation_id, ps_key));
CREATE TABLE spool_positions (
    host TEXT NOT NULL,
    spool TEXT NOT NULL,
    position BIGINT NOT NULL,
    PRIMARY KEY (host, spool));
UPDATE schema_version SET version = 2;
)";

std::string ForKind(const char* sql, DatabaseUrl::Kind kind) {
    return Replace(sql, "{SERIAL}",
                   kind == DatabaseUrl::Kind::Sqlite ? "INTEGER PRIMARY KEY AUTOINCREMENT"
                                                     : "BIGSERIAL PRIMARY KEY");
}

bool TableExists(Database& db, const std::string& table, bool& exists, std::string& error) {
    std::vector<Row> rows;
    const bool ok =
        db.Kind() == DatabaseUrl::Kind::Sqlite
            ? db.Execute("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = $1",
                         {table}, &rows, error)
            : db.Execute(
                  "SELECT count(*) FROM pg_catalog.pg_tables WHERE tablename = $1 AND "
                  "schemaname = ANY (current_schemas(false))",
                  {table}, &rows, error);
    exists = ok && !rows.empty() && rows[0][0] && *rows[0][0] != "0";
    return ok;
}

std::string NewerMessage(int version) {
    return "the database was made by a newer halyard-cli: its schema is version " +
           std::to_string(version) + ", this program knows versions up to " +
           std::to_string(kSchemaVersion) + "; update halyard-cli on this station";
}

}  // namespace

std::unique_ptr<Database> Database::Connect(const DatabaseUrl& url, std::string& error) {
    return url.kind == DatabaseUrl::Kind::Sqlite ? ConnectSqlite(url.target, error)
                                                 : ConnectPostgresql(url.target, error);
}

bool Database::SchemaVersion(int& version, std::string& error) {
    version = 0;
    bool exists = false;
    if (!TableExists(*this, "schema_version", exists, error)) {
        return false;
    }
    if (!exists) {
        return true;
    }
    std::vector<Row> rows;
    if (!Execute("SELECT max(version) FROM schema_version", {}, &rows, error)) {
        return false;
    }
    if (!rows.empty() && rows[0][0]) {
        version = std::stoi(*rows[0][0]);
    }
    return true;
}

std::unique_ptr<Database> Database::Open(const DatabaseUrl& url, std::string& error) {
    std::unique_ptr<Database> db = Connect(url, error);
    if (!db) {
        return nullptr;
    }
    int version = 0;
    if (!db->SchemaVersion(version, error)) {
        return nullptr;
    }
    if (version == kSchemaVersion) {
        return db;
    }
    if (version > kSchemaVersion) {
        error = NewerMessage(version);
        return nullptr;
    }
    // Another station may be changing it right now: look again under the lock.
    if (!db->BeginWrite(error) ||
        (db->Kind() == DatabaseUrl::Kind::Postgresql && !db->Execute(kSchemaLock, error)) ||
        !db->SchemaVersion(version, error)) {
        error = "cannot set up the database: " + error;
        db->Rollback();
        return nullptr;
    }
    bool ok = true;
    if (version > kSchemaVersion) {
        error = NewerMessage(version);
        ok = false;
    }
    if (ok && version < 1) {
        ok = db->Execute(ForKind(kVersion1, db->Kind()), error);
        version = 1;
    }
    if (ok && version < 2) {
        ok = db->Execute(ForKind(kVersion2, db->Kind()), error);
    }
    if (!ok || !db->Commit(error)) {
        if (error.find("newer") == std::string::npos) {
            error = "cannot set up the database: " + error;
        }
        db->Rollback();
        return nullptr;
    }
    return db;
}

}  // namespace halyard::station::db
