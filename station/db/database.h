// The unit-record database: one schema on SQLite (a station's own file, shared by the stations
// of one machine) and on PostgreSQL (a factory's server), behind the small interface the two
// need: statements with text parameters, rows of text, transactions.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halyard::station::db {

// The schema this program creates and migrates to. A database of a later version is refused.
constexpr int kSchemaVersion = 2;

// What --db names.
struct DatabaseUrl {
    enum class Kind { Sqlite, Postgresql };
    Kind kind = Kind::Sqlite;
    std::string target;  // SQLite: the file's path; PostgreSQL: the connection URI as given
    std::string text;    // as given, for messages and for the default spool's name

    // "sqlite:PATH", "postgresql://..." / "postgres://...", or a plain path (a SQLite file).
    // Nullopt with the reason in `error` for another scheme or an empty path.
    static std::optional<DatabaseUrl> Parse(const std::string& text, std::string& error);
    // The URL with any password replaced by "***", for messages.
    std::string Shown() const;
};

using Value = std::optional<std::string>;  // a parameter or a cell; nullopt is SQL NULL
using Row = std::vector<Value>;

class Database {
  public:
    virtual ~Database() = default;

    // Connects (SQLite: opens or creates the file, in WAL mode) without touching the schema.
    // Nullptr with one line saying why in `error`.
    static std::unique_ptr<Database> Connect(const DatabaseUrl& url, std::string& error);

    // Connects and brings the schema to kSchemaVersion: creates it in an empty database,
    // migrates an older one, refuses a newer one. Safe when many stations do it at once.
    static std::unique_ptr<Database> Open(const DatabaseUrl& url, std::string& error);

    virtual DatabaseUrl::Kind Kind() const = 0;

    // Runs one statement; parameters are $1, $2, ... in the text, bound as text (NULL for
    // nullopt). Rows, if any, are appended to `rows` when it is given.
    virtual bool Execute(const std::string& sql, const std::vector<Value>& params,
                         std::vector<Row>* rows, std::string& error) = 0;
    bool Execute(const std::string& sql, std::string& error) {
        return Execute(sql, {}, nullptr, error);
    }

    // A transaction that writes: SQLite takes the write lock at once (BEGIN IMMEDIATE), so
    // that two stations never deadlock upgrading a read.
    virtual bool BeginWrite(std::string& error) = 0;
    bool Commit(std::string& error) { return Execute("COMMIT", error); }
    void Rollback() {
        std::string ignored;
        Execute("ROLLBACK", ignored);
    }

    // The schema's version as stored: 0 for an empty database.
    bool SchemaVersion(int& version, std::string& error);
};

using Json = nlohmann::ordered_json;

// Stores one unit record (the station's JSON record) in one transaction: the operation, its
// unit, station and settings file, its retries per key, and the spool position it was read at
// (when `spool` is given). A record whose id is there already is left as it is: true, and
// `inserted` false.
struct SpoolPosition {
    std::string host;
    std::string spool;  // the spool's absolute path
    uint64_t end = 0;   // the byte after the record's line
};
// `text`, when given, is the record's JSON text as it stands in the spool, stored as it is.
bool StoreRecord(Database& db, const Json& record, const SpoolPosition* position, bool& inserted,
                 std::string& error, const std::string* text = nullptr);

// Where the spool was last sent up to, for this host; 0 when never.
bool SentPosition(Database& db, const std::string& host, const std::string& spool,
                  uint64_t& position, std::string& error);

}  // namespace halyard::station::db

namespace halyard::station::db {

// Whether a JSON value is a unit record this database can store (id, station, start, end,
// result); a spool line that is not is skipped.
bool IsUnitRecord(const Json& record);

// What sending a spool did.
struct SendCounts {
    size_t sent = 0;     // stored now
    size_t already = 0;  // stored before (by this station or one sharing the spool)
    size_t skipped = 0;  // lines that are no unit record
};

// Sends the spool's whole lines from byte `position` on, each in its own transaction that also
// records how far the spool has been sent; `position` follows. A spool shorter than `position`
// (replaced, or cut back) is sent from its start again, which the ids make harmless. False at
// the first record the database did not take, with `position` just before it.
bool SendSpool(Database& db, const std::string& host, const std::string& spool, uint64_t& position,
               SendCounts& counts, std::string& error);

// The spool a station uses when no --log is given: one file per database under the station's
// state folder ($XDG_STATE_HOME/halyard/spool, else ~/.local/state/halyard/spool).
std::string DefaultSpoolPath(const DatabaseUrl& url);

// The form of a spool's path the database keeps its position under.
std::string SpoolKey(const std::string& spool);

}  // namespace halyard::station::db
