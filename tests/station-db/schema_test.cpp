// Databases a station meets that are not simply ready: an older schema migrated forward with
// its rows, a newer one refused, URLs that name no database, a server that refuses the
// password, a SQLite file the station may not write. None of them fails a unit.
#include <sys/stat.h>
#include <unistd.h>

#include "dbfixture.h"

namespace halyard::dbtest {
namespace {

class DbSchemaTest : public DatabaseTest {};

// The first schema, as stations of that version made it.
std::string VersionOneSchema(Backend backend) {
    const std::string seq =
        backend == Backend::Sqlite ? "INTEGER PRIMARY KEY AUTOINCREMENT" : "BIGSERIAL PRIMARY KEY";
    return R"(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE stations (name TEXT PRIMARY KEY, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL);
CREATE TABLE settings_files (sha256 TEXT PRIMARY KEY, path TEXT, first_seen TEXT NOT NULL);
CREATE TABLE units (serial TEXT PRIMARY KEY, identity INTEGER, kind TEXT, model TEXT,
    firmware TEXT, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL);
CREATE TABLE operations (
    seq )" +
           seq + R"(,
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
INSERT INTO schema_version (version) VALUES (1);
)";
}

constexpr const char* kOldSerial = "00A1B2C3D4E5";
constexpr const char* kOldSha = "5d41402abc4b2a76b9719d911017c592ae9f6ab3e3a1ff1b2f4c5a6d7e8f9012";

// Two operations of an earlier station on one unit: a failed program and its retry.
void FillVersionOne(Sql& sql) {
    sql.Run(
        "INSERT INTO stations VALUES ('old-line', '2026-01-05T10:00:00.000Z', "
        "'2026-01-05T10:01:00.000Z')");
    sql.Run(std::string("INSERT INTO settings_files VALUES ('") + kOldSha +
            "', '/srv/line/stealth.wpx', '2026-01-05T10:00:00.000Z')");
    sql.Run(std::string("INSERT INTO units VALUES ('") + kOldSerial +
            "', 44034, 'handset', 'Veltra Plus', '3.04', '2026-01-05T10:00:00.000Z', "
            "'2026-01-05T10:01:00.000Z')");
    const std::string columns =
        "INSERT INTO operations (id, station, start_time, end_time, port, operation, dry_run, "
        "settings_file, settings_sha256, identity, kind, model, firmware, serial, stage, result, "
        "error, seconds, stored_at) VALUES ";
    sql.Run(columns +
            "('0123456789abcdef0123456789abcdef', 'old-line', "
            "'2026-01-05T10:00:00.000Z', '2026-01-05T10:00:01.500Z', 'COM3', 'program', "
            "0, '/srv/line/stealth.wpx', '" +
            kOldSha + "', 44034, 'handset', 'Veltra Plus', '3.04', '" + kOldSerial +
            "', 'record read', 'failed', 'Fail to write Varnak Handset settings.', 1.5, "
            "'2026-01-05T10:00:02.000Z')");
    sql.Run(columns +
            "('fedcba9876543210fedcba9876543210', 'old-line', "
            "'2026-01-05T10:01:00.000Z', '2026-01-05T10:01:00.800Z', 'COM3', 'program', "
            "0, '/srv/line/stealth.wpx', '" +
            kOldSha + "', 44034, 'handset', 'Veltra Plus', '3.04', '" + kOldSerial +
            "', 'verified', 'ok', NULL, 0.8, '2026-01-05T10:01:01.000Z')");
}

TEST_P(DbSchemaTest, AVersionOneDatabaseIsMigratedKeepingItsRows) {
    {
        Sql sql(url);
        ASSERT_TRUE(sql.Ok());
        ASSERT_TRUE(sql.Run(VersionOneSchema(backend)));
        FillVersionOne(sql);
    }
    const std::string file = StealthFile();
    Units("N", 1);
    const std::string log = Path("units.jsonl");
    const test::Outcome run =
        Station("program " + file + " --port N00 --plain --station new-line --log " + log +
                " --db " + Quote(url));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(DatabaseTrouble(run.err).empty()) << run.err;
    const std::vector<Json> records = JsonLines(test::ReadText(log));
    ASSERT_EQ(records.size(), 1u);

    Sql sql(url);
    const std::vector<Row> versions = sql.Rows("SELECT version FROM schema_version");
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0].at(0), "2");
    const std::vector<Row> operations = sql.Rows(
        "SELECT id, station, start_time, port, serial, result, error, settings_sha256, "
        "retries, record FROM operations ORDER BY seq");
    ASSERT_EQ(operations.size(), 3u);
    EXPECT_EQ(operations[0].at(0), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(operations[0].at(1), "old-line");
    EXPECT_EQ(operations[0].at(2), "2026-01-05T10:00:00.000Z");
    EXPECT_EQ(operations[0].at(3), "COM3");
    EXPECT_EQ(operations[0].at(4), kOldSerial);
    EXPECT_EQ(operations[0].at(5), "failed");
    EXPECT_EQ(operations[0].at(6), "Fail to write Varnak Handset settings.");
    EXPECT_EQ(operations[0].at(7), kOldSha);
    EXPECT_EQ(operations[1].at(0), "fedcba9876543210fedcba9876543210");
    EXPECT_EQ(operations[1].at(5), "ok");
    EXPECT_EQ(operations[1].at(6), std::nullopt);
    EXPECT_EQ(operations[2].at(0), records[0].at("id").get<std::string>());
    EXPECT_EQ(operations[2].at(1), "new-line");
    EXPECT_EQ(operations[2].at(8), "0");
    ASSERT_TRUE(operations[2].at(9));
    EXPECT_EQ(Json::parse(*operations[2].at(9)), records[0]);
    EXPECT_EQ(sql.Count("stations"), 2);
    EXPECT_EQ(sql.Count("units"), 2);
    EXPECT_EQ(sql.Count("settings_files"), 2);
    EXPECT_EQ(sql.Count("operation_retries"), 0);
    EXPECT_EQ(sql.Cell("SELECT position FROM spool_positions WHERE spool = $1", {log}),
              std::to_string(std::filesystem::file_size(log)));

    // The old rows are there for the queries too.
    const test::Outcome units =
        Station("units --db " + Quote(url) + " --serial " + kOldSerial + " --csv");
    EXPECT_EQ(units.status, 0) << units.output;
    const std::vector<std::string> lines = Lines(units.out);
    ASSERT_EQ(lines.size(), 3u) << units.out;
    EXPECT_TRUE(lines[1].starts_with("2026-01-05T10:01:00.000Z,old-line,COM3,")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("2026-01-05T10:00:00.000Z,old-line,COM3,")) << lines[2];
    const test::Outcome report = Station("report --db " + Quote(url) + " --json");
    ASSERT_EQ(report.status, 0) << report.output;
    const Json figures = Json::parse(report.out);
    bool old = false;
    for (const Json& station : figures.at("stations")) {
        if (station.at("station") == "old-line") {
            old = true;
            EXPECT_EQ(station.at("units"), 2);
            EXPECT_EQ(station.at("ok"), 1);
            EXPECT_EQ(station.at("failed"), 1);
        }
    }
    EXPECT_TRUE(old) << figures;
}

TEST_P(DbSchemaTest, ANewerSchemaIsRefusedWithOneClearMessage) {
    {
        Sql sql(url);
        ASSERT_TRUE(sql.Run("CREATE TABLE schema_version (version INTEGER NOT NULL)"));
        ASSERT_TRUE(sql.Run("INSERT INTO schema_version (version) VALUES (3)"));
    }
    const std::string file = StealthFile();
    Units("N", 2);
    const test::Outcome run =
        Station("program " + file + " --port N00 --port N01 --plain --db " + Quote(url));
    EXPECT_EQ(run.status, 0) << "the units are programmed all the same: " << run.output;
    EXPECT_EQ(Flags("N00"), 0xB700);
    EXPECT_EQ(Flags("N01"), 0xB700);
    const std::vector<std::string> trouble = DatabaseTrouble(run.err);
    ASSERT_EQ(trouble.size(), 1u) << run.err;
    EXPECT_TRUE(Contains(trouble[0], "newer")) << trouble[0];
    const std::optional<Waiting> waiting = WaitingRecords(run.err);
    ASSERT_TRUE(waiting) << run.err;
    EXPECT_EQ(waiting->count, 2);

    for (const std::string command : {"units", "db sync", "report"}) {
        const test::Outcome refused = Station(command + " --db " + Quote(url));
        EXPECT_EQ(refused.status, 1) << command << ": " << refused.output;
        EXPECT_TRUE(Contains(refused.err, "newer")) << command << ": " << refused.err;
    }
    Sql sql(url);
    EXPECT_EQ(sql.Cell("SELECT version FROM schema_version"), "3") << "left as it was";
    EXPECT_FALSE(sql.TryRows("SELECT count(*) FROM operations")) << "no table was made";
}

VARNAK_DB_BACKENDS(DbSchemaTest);

class DbUrlTest : public DatabaseStationTest {
  protected:
    DbUrlTest() : DatabaseStationTest(Backend::Sqlite) {}
};

TEST_F(DbUrlTest, AUrlThatNamesNoDatabaseIsAUsageError) {
    const std::string file = StealthFile();
    Units("N", 1);
    for (const std::string bad : {"mysql://x", "sqlite:", "", "http://db/x", "odbc:units"}) {
        for (const std::string& command : std::vector<std::string>{
                 "read --port N00", "program " + file + " --port N00", "restart --port N00",
                 "program " + file + " --watch", "units", "report", "db sync"}) {
            // A watch that took the URL for no database would never end by itself.
            const test::Outcome run = test::RunSplit(
                "timeout 30 " + std::string(HALYARD_CLI) + " " + command + " --db " + Quote(bad),
                dir.path);
            EXPECT_EQ(run.status, 2) << command << " --db '" << bad << "': " << run.output;
            // One line says what is wrong, then the hint every usage error ends with.
            const std::vector<std::string> lines = Lines(run.err);
            ASSERT_EQ(lines.size(), 2u) << command << " --db '" << bad << "': " << run.err;
            EXPECT_TRUE(lines[0].starts_with("halyard-cli: --db")) << run.err;
            EXPECT_EQ(lines[1], "Run with --help for more information.");
        }
    }
    EXPECT_EQ(Flags("N00"), 0xA700) << "nothing was programmed";
    EXPECT_EQ(Image("N00").restarts, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "state/halyard")) << "nothing was spooled";
    EXPECT_FALSE(std::filesystem::exists(dir.path / "odbc:units")) << "no database was made";
}

// The server refuses the password: the run goes on, says so once, keeps its records.
class DbPostgresqlTest : public DatabaseStationTest {
  protected:
    DbPostgresqlTest() : DatabaseStationTest(Backend::Postgresql) {}
};

TEST_F(DbPostgresqlTest, AWrongPasswordIsSaidOnceAndTheRecordsWait) {
    const std::string file = StealthFile();
    Units("N", 4);
    Append("N03", "fail-write 02ab 3\n");
    const std::string wrong = cluster->wrongPasswordUrl;
    const std::string secret = cluster->password;  // the wrong one is made from it
    ASSERT_FALSE(secret.empty());
    const std::string log = Path("units.jsonl");
    const test::Outcome ok = Station("program " + file + " --port N00 --port N01 --plain --log " +
                                     log + " --db " + Quote(wrong));
    EXPECT_EQ(ok.status, 0) << ok.output;
    const test::Outcome failing =
        Station("program " + file + " --port N02 --port N03 --plain --log " + log + " --db " +
                Quote(wrong));
    EXPECT_EQ(failing.status, 1) << "what the units make it: " << failing.output;
    for (const test::Outcome* run : {&ok, &failing}) {
        const std::vector<std::string> trouble = DatabaseTrouble(run->err);
        ASSERT_EQ(trouble.size(), 1u) << run->err;
        EXPECT_TRUE(Contains(trouble[0], "password")) << trouble[0];
        EXPECT_TRUE(trouble[0].ends_with("; records wait in the spool " + log)) << trouble[0];
        EXPECT_FALSE(Contains(run->output, secret)) << "the password is hidden: " << run->output;
    }
    std::optional<Waiting> waiting = WaitingRecords(ok.err);
    ASSERT_TRUE(waiting) << ok.err;
    EXPECT_EQ(waiting->count, 2);
    waiting = WaitingRecords(failing.err);
    ASSERT_TRUE(waiting) << failing.err;
    // The station cannot ask the database how far the log was sent: it counts at least its
    // own records, and no more than the log holds.
    EXPECT_GE(waiting->count, 2);
    EXPECT_LE(waiting->count, 4);
    EXPECT_EQ(waiting->spool, log);
    EXPECT_EQ(JsonLines(test::ReadText(log)).size(), 4u);

    const test::Outcome sync = Station("db sync --db " + Quote(wrong) + " --log " + log);
    EXPECT_EQ(sync.status, 1) << sync.output;
    EXPECT_TRUE(Contains(sync.err, "password")) << sync.err;
    EXPECT_FALSE(Contains(sync.output, secret)) << sync.output;

    // With the right password they all arrive.
    const test::Outcome right = Station("db sync --db " + Quote(url) + " --log " + log);
    EXPECT_EQ(right.status, 0) << right.output;
    EXPECT_EQ(SentCount(right.output), 4) << right.output;
    EXPECT_EQ(StoredIds(), Ids(JsonLines(test::ReadText(log))));
}

class DbSqliteTest : public DatabaseStationTest {
  protected:
    DbSqliteTest() : DatabaseStationTest(Backend::Sqlite) {}
};

TEST_F(DbSqliteTest, AReadOnlyFileIsSaidOnceAndTheRecordsWait) {
    const std::string path = Path("units.db");
    {
        std::string error;
        const auto parsed = DatabaseUrl::Parse(path, error);
        ASSERT_TRUE(parsed) << error;
        ASSERT_TRUE(Database::Open(*parsed, error)) << error;
    }
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    // Root writes any file; without the capability that lets it, the file's mode holds.
    const std::string asUser =
        geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search -- " : "";
    const std::string file = StealthFile();
    Units("N", 3);
    Append("N02", "fail-write 02ab 3\n");
    const std::string log = Path("units.jsonl");
    const test::Outcome run = test::RunSplit(
        asUser + HALYARD_CLI + " program " + file +
            " --port N00 --port N01 --port N02 --plain --log " + log + " --db " + path,
        dir.path);
    EXPECT_EQ(run.status, 1) << "what the units make it: " << run.output;
    EXPECT_EQ(Flags("N00"), 0xB700);
    const std::vector<std::string> trouble = DatabaseTrouble(run.err);
    ASSERT_EQ(trouble.size(), 1u) << run.err;
    EXPECT_TRUE(Contains(trouble[0], path)) << trouble[0];
    EXPECT_TRUE(std::regex_search(trouble[0], std::regex("read.?only", std::regex::icase)))
        << trouble[0];
    const std::optional<Waiting> waiting = WaitingRecords(run.err);
    ASSERT_TRUE(waiting) << run.err;
    EXPECT_EQ(waiting->count, 3);
    EXPECT_EQ(waiting->spool, log);

    chmod(path.c_str(), 0644);
    const test::Outcome sync = Station("db sync --db " + path + " --log " + log);
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_EQ(StoredIds(), Ids(JsonLines(test::ReadText(log))));
}

}  // namespace
}  // namespace halyard::dbtest
