// The fixture of the unit-record database suites: halyard-cli run as a station with --db on a
// private device folder, against a SQLite file or a database of its own on a throw-away
// PostgreSQL server (pg-cluster.sh), and the database read back through the station_db library.
#pragma once

#include <fcntl.h>
#include <halyard/records.h>
#include <signal.h>
#include <station/db/database.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../halyard/stationfixture.h"

namespace halyard::dbtest {

using Json = nlohmann::json;
using station::db::Database;
using station::db::DatabaseUrl;
using station::db::Row;
using station::db::Value;
using Clock = std::chrono::steady_clock;

enum class Backend { Sqlite, Postgresql };

inline void PrintTo(Backend backend, std::ostream* out) {
    *out << (backend == Backend::Sqlite ? "SQLite" : "PostgreSQL");
}

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "sqlite" : "postgresql";
}

// A command-line argument quoted for the shell.
inline std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// What pg-cluster.sh writes to its state file.
struct ClusterState {
    std::string dir;
    std::string url;               // the superuser on the database "postgres"
    std::string wrongPasswordUrl;  // the same with a password the server refuses
    std::string password;

    // The URL of another database on the same server.
    std::string UrlOf(const std::string& database) const {
        std::string out = url;
        const auto at = out.find("/postgres?");
        out.replace(at, std::string("/postgres?").size(), "/" + database + "?");
        return out;
    }
};

inline std::optional<ClusterState> ReadState(const std::filesystem::path& file) {
    ClusterState state;
    for (const std::string& line : Lines(test::ReadText(file))) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "dir") {
            state.dir = value;
        } else if (key == "url") {
            state.url = value;
        } else if (key == "wrongpassword_url") {
            state.wrongPasswordUrl = value;
        } else if (key == "password") {
            state.password = value;
        }
    }
    if (state.url.empty() || state.dir.empty()) {
        return std::nullopt;
    }
    return state;
}

// A server of pg-cluster.sh of this object's own, stopped and removed with it.
class PgCluster {
  public:
    explicit PgCluster(std::filesystem::path stateFile) : mStateFile(std::move(stateFile)) {
        const test::Outcome start = Script("start");
        if (start.status != 0) {
            error = "pg-cluster.sh start failed: " + start.output;
            return;
        }
        if (auto read = ReadState(mStateFile)) {
            state = *read;
        } else {
            error = "pg-cluster.sh start left no server in " + mStateFile.string();
        }
    }
    ~PgCluster() { Script("stop"); }
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    bool Ok() const { return error.empty(); }
    bool Pause() { return Script("pause").status == 0; }
    bool Resume() { return Script("resume").status == 0; }

    ClusterState state;
    std::string error;

  private:
    test::Outcome Script(const std::string& command) const {
        return test::Run(std::string(PG_CLUSTER) + " " + command + " " +
                         Quote(mStateFile.string()));
    }

    std::filesystem::path mStateFile;
};

// Where a case's own server keeps its state: next to the suite's (so that a run killed half-way
// leaves nothing the next run's start or CTest's cleanup would not remove), or in /tmp when the
// program is run by hand.
inline std::filesystem::path OwnStateFile(const std::string& name) {
    if (const char* shared = std::getenv("VARNAK_PG_STATE"); shared && *shared) {
        return std::string(shared) + "." + name;
    }
    return "/tmp/varnak-pg-" + std::to_string(getpid()) + "-" + name + ".state";
}

// The server the suite's PostgreSQL cases share: the one CTest's fixture started
// (VARNAK_PG_STATE names its state file), or, run by hand, one this program starts for itself.
inline const ClusterState* SharedCluster(std::string& error) {
    static std::unique_ptr<PgCluster> own;
    static std::optional<ClusterState> state;
    static std::string failure;
    if (!state && failure.empty()) {
        if (const char* file = std::getenv("VARNAK_PG_STATE"); file && *file) {
            state = ReadState(file);
            if (!state) {
                failure = std::string("no PostgreSQL server is named in ") + file +
                          " (the fixture station_db.pg_cluster_start did not run or failed)";
            }
        } else {
            own = std::make_unique<PgCluster>(OwnStateFile("shared"));
            if (own->Ok()) {
                state = own->state;
            } else {
                failure = own->error;
            }
        }
    }
    error = failure;
    return state ? &*state : nullptr;
}

// Opens a connection, runs statements and hands back their rows as text.
class Sql {
  public:
    // Quiet: a failure to connect is no test failure (Ok() tells).
    explicit Sql(const std::string& url, bool quiet = false) {
        std::string error;
        const auto parsed = DatabaseUrl::Parse(url, error);
        if (parsed) {
            mDb = Database::Connect(*parsed, error);
        }
        if (!mDb && !quiet) {
            ADD_FAILURE() << "cannot connect to " << url << ": " << error;
        }
    }
    bool Ok() const { return mDb != nullptr; }
    // The rows, or nullopt when the statement failed (no test failure).
    std::optional<std::vector<Row>> TryRows(const std::string& sql) {
        std::vector<Row> rows;
        std::string error;
        if (!mDb || !mDb->Execute(sql, {}, &rows, error)) {
            return std::nullopt;
        }
        return rows;
    }
    std::vector<Row> Rows(const std::string& sql, const std::vector<Value>& params = {}) {
        std::vector<Row> rows;
        std::string error;
        if (!mDb || !mDb->Execute(sql, params, &rows, error)) {
            ADD_FAILURE() << sql << ": " << error;
        }
        return rows;
    }
    bool Run(const std::string& sql, const std::vector<Value>& params = {}) {
        std::string error;
        const bool ok = mDb && mDb->Execute(sql, params, nullptr, error);
        EXPECT_TRUE(ok) << sql << ": " << error;
        return ok;
    }
    // The one cell of a one-row, one-column query; "" for NULL or no row.
    std::string Cell(const std::string& sql, const std::vector<Value>& params = {}) {
        const std::vector<Row> rows = Rows(sql, params);
        return rows.empty() || rows[0].empty() || !rows[0][0] ? "" : *rows[0][0];
    }
    long Count(const std::string& table) {
        return std::stol("0" + Cell("SELECT count(*) FROM " + table));
    }

  private:
    std::unique_ptr<Database> mDb;
};

inline std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> records;
    for (const std::string& line : Lines(text)) {
        if (!line.empty()) {
            records.push_back(Json::parse(line));
        }
    }
    return records;
}

inline std::vector<std::string> Ids(const std::vector<Json>& records) {
    std::vector<std::string> ids;
    for (const Json& record : records) {
        ids.push_back(record.at("id").get<std::string>());
    }
    return ids;
}

// The lines of `text` that start with `prefix`.
inline std::vector<std::string> LinesStarting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : Lines(text)) {
        if (line.starts_with(prefix)) {
            out.push_back(line);
        }
    }
    return out;
}

// The station's message that the database cannot be reached or refused it: "halyard-cli:
// database URL: REASON; records wait in the spool FILE".
inline std::vector<std::string> DatabaseTrouble(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& line : LinesStarting(text, "halyard-cli: database ")) {
        if (Contains(line, "; records wait in the spool ")) {
            out.push_back(line);
        }
    }
    return out;
}

// "halyard-cli: N records wait in the spool FILE for the database; ...": N and FILE, or nullopt.
struct Waiting {
    int count = 0;
    std::string spool;
};
inline std::optional<Waiting> WaitingRecords(const std::string& text) {
    static const std::regex line(
        R"(^halyard-cli: (\d+) records? waits? in the spool (.+) for the database; they are sent at the next run with --db or by 'halyard-cli db sync'$)");
    for (const std::string& l : Lines(text)) {
        std::smatch m;
        if (std::regex_match(l, m, line)) {
            return Waiting{std::stoi(m[1]), m[2]};
        }
    }
    return std::nullopt;
}

// The first number before "records sent" / "record sent" in db sync's report, or -1.
inline int SentCount(const std::string& text) {
    static const std::regex sent(R"((\d+) records? (were |was )?sent)");
    std::smatch m;
    return std::regex_search(text, m, sent) ? std::stoi(m[1]) : -1;
}

// A station and the database it stores into; the cases run with the backend they are given.
class DatabaseStationTest : public StationTest {
  protected:
    explicit DatabaseStationTest(Backend backend) : backend(backend) {}

    // The default spool lives under $XDG_STATE_HOME: a private one per case.
    void PrivateStateFolder() {
        std::filesystem::create_directories(dir.path / "state");
        setenv("XDG_STATE_HOME", (dir.path / "state").c_str(), 1);
    }

    void SetUp() override {
        PrivateStateFolder();
        if (backend == Backend::Sqlite) {
            url = "sqlite:" + Path("units.db");
            return;
        }
        std::string error;
        cluster = SharedCluster(error);
        ASSERT_NE(cluster, nullptr) << error;
        static std::atomic<int> made{0};
        database = "station_" + std::to_string(getpid()) + "_" + std::to_string(made++);
        Sql server(cluster->url);
        ASSERT_TRUE(server.Ok());
        ASSERT_TRUE(server.Run("CREATE DATABASE " + database));
        url = cluster->UrlOf(database);
    }

    void TearDown() override {
        if (!database.empty()) {
            Sql server(cluster->url);
            for (const std::string& name : {database, database + "_later"}) {
                server.Run("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
            }
        }
        unsetenv("XDG_STATE_HOME");
    }

    // A database URL that cannot be used yet (SQLite: its folder is a plain file; PostgreSQL:
    // the database is not there) and becomes usable with MakeLaterUsable().
    std::string LaterUrl() {
        if (backend == Backend::Sqlite) {
            std::ofstream(Path("later")) << "not a folder\n";
            return "sqlite:" + Path("later") + "/units.db";
        }
        return cluster->UrlOf(database + "_later");
    }
    void MakeLaterUsable() {
        if (backend == Backend::Sqlite) {
            std::filesystem::remove(Path("later"));
            std::filesystem::create_directory(Path("later"));
        } else {
            Sql server(cluster->url);
            server.Run("CREATE DATABASE " + database + "_later");
        }
    }

    // halyard-cli with these arguments, standard output and error apart.
    test::Outcome Station(const std::string& args) { return Split(args); }

    // Starts halyard-cli with its standard output and error in files of the device folder.
    pid_t Start(const std::vector<std::string>& args, const std::string& out,
                const std::string& err) {
        const std::string outPath = Path(out);
        const std::string errPath = Path(err);
        const pid_t pid = fork();
        if (pid == 0) {
            // A station left running by a killed test program would watch on for ever.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char*> argv{const_cast<char*>(HALYARD_CLI)};
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(HALYARD_CLI, argv.data());
            _exit(127);
        }
        return pid;
    }

    // The exit code, or -1 when it did not end in time (it is then killed).
    static int Wait(pid_t pid, int seconds = 120) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return test::ExitCode(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }

    template <class Condition>
    static bool WaitFor(const Condition& condition, int seconds = 60) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (!condition()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    // Handsets with a small answer delay, so that a run takes a fraction of a second.
    std::vector<std::string> Units(const std::string& prefix, int count, int delayMs = 10) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%s%02d", prefix.c_str(), i);
            names.push_back(name);
            Create(name, "--kind handset --model veltra --delay " + std::to_string(delayMs));
        }
        return names;
    }

    // The operations stored so far; -1 while the database or its tables are not there.
    static long StoredCount(const std::string& url) {
        Sql sql(url, true);
        const auto rows = sql.TryRows("SELECT count(*) FROM operations");
        return rows && !rows->empty() && rows->at(0).at(0) ? std::stol(*rows->at(0).at(0)) : -1;
    }

    uint16_t Flags(const std::string& name) { return Image(name).keys.at(PSKEY_USR33)[HS_FLAGS]; }

    // The ids stored, in arrival order.
    std::vector<std::string> StoredIds() { return StoredIds(url); }
    static std::vector<std::string> StoredIds(const std::string& url) {
        std::vector<std::string> ids;
        Sql sql(url);
        for (const Row& row : sql.Rows("SELECT id FROM operations ORDER BY seq")) {
            ids.push_back(row.at(0).value_or(""));
        }
        return ids;
    }

    const Backend backend;
    const ClusterState* cluster = nullptr;
    std::string database;  // PostgreSQL: the case's own database
    std::string url;       // what --db names
};

class DatabaseTest : public DatabaseStationTest, public ::testing::WithParamInterface<Backend> {
  protected:
    DatabaseTest() : DatabaseStationTest(GetParam()) {}
};

#define VARNAK_DB_BACKENDS(suite)                                                       \
    INSTANTIATE_TEST_SUITE_P(Databases, suite,                                          \
                             ::testing::Values(::halyard::dbtest::Backend::Sqlite,      \
                                               ::halyard::dbtest::Backend::Postgresql), \
                             ::halyard::dbtest::BackendName)

}  // namespace halyard::dbtest
