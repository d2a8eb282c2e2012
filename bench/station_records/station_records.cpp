// What storing every unit record in a database costs a production line.
//
// halyard-cli programs 1,000 simulated handsets in one run (--jobs 8, each device taking 2 ms
// per answer) with --log FILE alone, the baseline, and with the same log as the spool of
// --db on a SQLite file and on a PostgreSQL server (a throw-away one this program starts with
// tests/station-db/pg-cluster.sh and stops at its end). A run's time is from its start until it
// has ended, every record stored: the ratio is the slow-down the database brings, near 1 when
// the sender keeps up with the units. When no PostgreSQL server can be started, only the SQLite
// ratio is given. STATION_RECORDS_UNITS=N programs N units instead (the smoke run under CTest).
#include <bench/common/ratio.h>
#include <bench/common/scratch.h>
#include <fcntl.h>
#include <halyard/records.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <signal.h>
#include <spawn.h>
#include <station/db/database.h>
#include <sys/wait.h>
#include <velorum/devicefile.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using halyard::station::db::Database;
using halyard::station::db::DatabaseUrl;
using halyard::station::db::Row;

constexpr int kAnswerMs = 2;
constexpr const char* kJobs = "8";

int UnitCount() {
    const char* text = std::getenv("STATION_RECORDS_UNITS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 1000;
}

class NoDialogs : public halyard::IUserDialogs {
  public:
    halyard::DialogButton ShowMessage(const halyard::DialogRequest&) override {
        return halyard::mbOK;
    }
    void ShowPlainMessage(const std::string&) override {}
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}
};

// Runs a program with its output discarded; its exit code, or -1.
int RunQuietly(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// The throw-away PostgreSQL server, stopped and removed when the program ends: at the end of
// main, at exit, or on SIGINT, SIGTERM or SIGHUP.
class Server {
  public:
    Server() {
        if (RunQuietly({"/bin/bash", PG_CLUSTER, "start", PG_STATE}) != 0) {
            return;
        }
        std::ifstream in(PG_STATE);
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("url=")) {
                url = line.substr(4);
            }
        }
        if (!url.empty()) {
            Watch();
        }
    }
    ~Server() { Stop(); }

    static void Stop() {
        if (!sStarted) {
            return;
        }
        sStarted = false;
        RunQuietly({"/bin/bash", PG_CLUSTER, "stop", PG_STATE});
    }

    // The URL of another database on the server.
    std::string UrlOf(const std::string& database) const {
        std::string out = url;
        out.replace(out.find("/postgres?"), 10, "/" + database + "?");
        return out;
    }

    std::string url;  // empty when the server could not be started

  private:
    static void OnSignal(int signal) {
        // Only what a signal handler may do: start the stop script and wait for it.
        static char bash[] = "/bin/bash";
        static char script[] = PG_CLUSTER;
        static char stop[] = "stop";
        static char state[] = PG_STATE;
        char* argv[] = {bash, script, stop, state, nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            execve(bash, argv, environ);
            _exit(127);
        }
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
        ::signal(signal, SIG_DFL);
        raise(signal);
    }
    void Watch() {
        sStarted = true;
        std::atexit(Stop);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) {
            signal(s, OnSignal);
        }
    }

    static inline bool sStarted = false;
};

Server* gServer = nullptr;

// A device folder with `count` handsets, each with a serial of its own, and a settings file.
struct Line {
    explicit Line(int count) : scratch("station_records") {
        folder = scratch.File("devices");
        std::filesystem::create_directories(folder);
        std::filesystem::create_directories(scratch.File("state"));
        setenv("VELORUM_DEVICE_DIR", folder.c_str(), 1);
        setenv("XDG_STATE_HOME", scratch.File("state").c_str(), 1);
        varnak::sim::DeviceImage device = varnak::sim::FactoryVeltraHandset();
        device.delayMs = kAnswerMs;
        for (int i = 0; i < count; ++i) {
            device.keys[halyard::PSKEY_ADDRESS] = {0x00A0, static_cast<uint16_t>(i >> 16),
                                                   static_cast<uint16_t>(i)};
            ok = varnak::sim::SaveDevice(varnak::sim::DevicePath(folder, "H" + std::to_string(i)),
                                         device, nullptr) &&
                 ok;
        }
        NoDialogs dialogs;
        halyard::SettingsModel model(dialogs);
        file = scratch.File("line.wpx");
        ok = halyard::SaveSettingsFile(model, file) && ok;
        log = scratch.File("units.jsonl");
    }

    // program FILE --all --jobs 8 --log LOG [--db URL]; true when every unit was programmed.
    bool Program(const std::string& db) const {
        std::filesystem::remove(log);
        std::vector<std::string> args = {HALYARD_CLI, "program", file, "--all", "--jobs", kJobs,
                                         "--plain", "--log", log};
        if (!db.empty()) {
            args.insert(args.end(), {"--db", db});
        }
        return RunQuietly(args) == 0;
    }

    varnak::bench::Scratch scratch;
    std::string folder;
    std::string file;
    std::string log;
    bool ok = true;
};

const Line& TheLine() {
    static const Line line(UnitCount());
    return line;
}

std::optional<long> Stored(const std::string& url) {
    std::string error;
    const auto parsed = DatabaseUrl::Parse(url, error);
    const std::unique_ptr<Database> db = parsed ? Database::Connect(*parsed, error) : nullptr;
    std::vector<Row> rows;
    if (!db || !db->Execute("SELECT count(*) FROM operations", {}, &rows, error) ||
        rows.empty() || !rows[0][0]) {
        return std::nullopt;
    }
    return std::stol(*rows[0][0]);
}

// One run of the line into `url` (empty: the log alone); the database is made fresh first,
// outside the time measured, by `fresh`, and must hold every record after the run.
template <class Fresh>
void RunLine(benchmark::State& state, const Fresh& fresh) {
    const Line& line = TheLine();
    if (!line.ok) {
        state.SkipWithError("the simulated devices could not be made");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        const std::string url = fresh();
        state.ResumeTiming();
        if (!line.Program(url)) {
            state.SkipWithError("halyard-cli did not program every unit");
            return;
        }
        if (!url.empty()) {
            state.PauseTiming();
            const std::optional<long> stored = Stored(url);
            if (stored != UnitCount()) {
                state.SkipWithError("the database did not get every record by the run's end");
                return;
            }
            state.ResumeTiming();
        }
    }
    state.counters["units"] = UnitCount();
}

void BM_LogOnly(benchmark::State& state) {
    RunLine(state, [] { return std::string(); });
}
BENCHMARK(BM_LogOnly)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sqlite(benchmark::State& state) {
    RunLine(state, [] {
        const std::string path = TheLine().scratch.File("units.db");
        for (const char* ending : {"", "-wal", "-shm"}) {
            std::filesystem::remove(path + ending);
        }
        return "sqlite:" + path;
    });
}
BENCHMARK(BM_Sqlite)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Postgresql(benchmark::State& state) {
    if (!gServer || gServer->url.empty()) {
        state.SkipWithError("no PostgreSQL server");
        return;
    }
    RunLine(state, [] {
        static int made = 0;
        std::string error;
        const auto server = DatabaseUrl::Parse(gServer->url, error);
        const std::unique_ptr<Database> db = server ? Database::Connect(*server, error) : nullptr;
        const std::string name = "units" + std::to_string(made++);
        if (!db || !db->Execute("DROP DATABASE IF EXISTS " + name, error) ||
            !db->Execute("CREATE DATABASE " + name, error)) {
            std::fprintf(stderr, "station_records: %s\n", error.c_str());
        }
        return gServer->UrlOf(name);
    });
}
BENCHMARK(BM_Postgresql)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    Server server;
    gServer = &server;
    const std::string units = std::to_string(UnitCount()) + " units";
    std::vector<varnak::bench::Comparison> comparisons = {
        {units + " programmed with --db on a SQLite file vs --log alone (the ratio is the "
                 "slow-down the database brings, near 1 wanted)",
         "BM_Sqlite/iterations:1/real_time", "BM_LogOnly/iterations:1/real_time"},
    };
    if (server.url.empty()) {
        std::printf("station_records: no PostgreSQL server could be started (%s); only the "
                    "SQLite figure is measured\n",
                    PG_CLUSTER);
    } else {
        comparisons.push_back(
            {units + " programmed with --db on a PostgreSQL server (local socket) vs --log alone",
             "BM_Postgresql/iterations:1/real_time", "BM_LogOnly/iterations:1/real_time"});
    }
    const int status = varnak::bench::RunAndReport(argc, argv, comparisons);
    gServer = nullptr;
    return status;
}
