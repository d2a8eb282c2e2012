// The SQLite database: one file in WAL mode, so that the stations of one machine write to it
// at once (one writer at a time, each waiting its turn) while readers never wait.
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "backends.h"
#include "common/userfiles.h"

namespace halyard::station::db {

namespace {

// How long a station waits for another one's write to finish before it gives up on a record
// (which then waits in the spool).
constexpr int kBusyTimeoutMs = 30000;

class SqliteDatabase : public Database {
  public:
    explicit SqliteDatabase(sqlite3* db) : mDb(db) {}
    ~SqliteDatabase() override {
        for (const auto& [sql, statement] : mPrepared) {
            sqlite3_finalize(statement);
        }
        sqlite3_close_v2(mDb);
    }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    DatabaseUrl::Kind Kind() const override { return DatabaseUrl::Kind::Sqlite; }
    using Database::Execute;

    bool Execute(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                 std::string& error) override {
        const char* next = sql.c_str();
        while (*next != '\0') {
            // A statement with parameters is one statement, run once per record: it is
            // prepared once and kept.
            const bool kept = !params.empty();
            sqlite3_stmt* statement = nullptr;
            const auto found = kept ? mPrepared.find(sql) : mPrepared.end();
            if (found != mPrepared.end()) {
                statement = found->second;
                next = "";
            } else {
                const char* tail = nullptr;
                if (sqlite3_prepare_v3(mDb, next, -1, kept ? SQLITE_PREPARE_PERSISTENT : 0,
                                       &statement, &tail) != SQLITE_OK) {
                    error = sqlite3_errmsg(mDb);
                    return false;
                }
                next = kept ? "" : tail;
                if (!statement) {
                    continue;  // only white space or a comment was left
                }
                if (kept) {
                    mPrepared.emplace(sql, statement);
                }
            }
            // A kept statement is reset for its next use, any other one finalized.
            const auto done = [kept](sqlite3_stmt* used) {
                if (kept) {
                    sqlite3_reset(used);
                    sqlite3_clear_bindings(used);
                } else {
                    sqlite3_finalize(used);
                }
            };
            for (size_t i = 0; i < params.size(); ++i) {
                const std::string name = "$" + std::to_string(i + 1);
                const int index = sqlite3_bind_parameter_index(statement, name.c_str());
                if (index == 0) {
                    continue;
                }
                const int bound = params[i] ? sqlite3_bind_text(statement, index, params[i]->data(),
                                                                static_cast<int>(params[i]->size()),
                                                                SQLITE_TRANSIENT)
                                            : sqlite3_bind_null(statement, index);
                if (bound != SQLITE_OK) {
                    error = sqlite3_errmsg(mDb);
                    done(statement);
                    return false;
                }
            }
            int step;
            while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
                if (!rows) {
                    continue;
                }
                Row row;
                const int columns = sqlite3_column_count(statement);
                for (int c = 0; c < columns; ++c) {
                    const auto* text =
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                    row.push_back(
                        text ? Value(std::string(
                                   text, static_cast<size_t>(sqlite3_column_bytes(statement, c))))
                             : Value());
                }
                rows->push_back(std::move(row));
            }
            if (step != SQLITE_DONE) {
                error = sqlite3_errmsg(mDb);
                done(statement);
                return false;
            }
            done(statement);
        }
        return true;
    }

    bool BeginWrite(std::string& error) override { return Execute("BEGIN IMMEDIATE", error); }

  private:
    sqlite3* mDb;
    std::map<std::string, sqlite3_stmt*> mPrepared;
};

}  // namespace

std::unique_ptr<Database> ConnectSqlite(const std::string& path, std::string& error) {
    // The file is one the user named: links are followed, and a file made read-only refused,
    // as for every file the station writes.
    std::filesystem::path target;
    std::string why;
    if (!varnak::ResolveWriteTarget(path, target, &why)) {
        error = why.find("read-only") != std::string::npos
                    ? "the database file " + path + " is read-only"
                    : "cannot use the database file " + path + ": " + why;
        return nullptr;
    }
    sqlite3* handle = nullptr;
    const int opened =
        sqlite3_open_v2(target.c_str(), &handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (opened != SQLITE_OK) {
        error = "cannot open the database file " + path + ": " +
                (handle ? sqlite3_errmsg(handle) : sqlite3_errstr(opened));
        sqlite3_close_v2(handle);
        return nullptr;
    }
    // SQLite opens a file it may not write read-only without a word; a station would then fail
    // on every record.
    if (sqlite3_db_readonly(handle, "main") == 1) {
        error = "the database file " + path + " is read-only";
        sqlite3_close_v2(handle);
        return nullptr;
    }
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    sqlite3_extended_result_codes(handle, 1);
    auto db = std::make_unique<SqliteDatabase>(handle);
    std::vector<Row> mode;
    // WAL lets the stations of a machine share the file; FULL makes every committed record
    // survive a power cut, as the spool it was taken from does not.
    if (!db->Execute("PRAGMA journal_mode=WAL", {}, &mode, error) ||
        !db->Execute("PRAGMA synchronous=FULL", error) ||
        !db->Execute("PRAGMA foreign_keys=ON", error)) {
        error = "cannot use the database file " + path + ": " + error;
        return nullptr;
    }
    if (mode.empty() || !mode[0][0] || *mode[0][0] != "wal") {
        error = "cannot use the database file " + path +
                ": it cannot be switched to write-ahead logging (is its folder writable?)";
        return nullptr;
    }
    return db;
}

}  // namespace halyard::station::db
