// What serving many devices at once buys a production line, and how soon a station in watch
// mode starts on a unit that is plugged in.
//
// halyard-cli programs a settings file into 128 simulated handsets at once, each device served
// by its own process, against programming one. Every device takes 50 ms for each answer (chip
// name, PS key read and write), as a slow cradle link might, so one program with its verify
// costs seven answers, about 0.35 s. The ratio is the time for 128 over the time for one: near
// 1 when the devices are really served side by side, 128 when they are served one after
// another.
//
// The watch figure: a station runs `program --watch`; a unit is plugged in 20 times, and each
// time the latency is the time from the plug to its record's start (when the station took the
// unit). The figure is the median of the 20, in milliseconds.
#include <bench/common/ratio.h>
#include <fcntl.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <spawn.h>
#include <sys/wait.h>
#include <velorum/devicefile.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int kAnswerMs = 50;

class NoDialogs : public halyard::IUserDialogs {
  public:
    halyard::DialogButton ShowMessage(const halyard::DialogRequest&) override {
        return halyard::mbOK;
    }
    void ShowPlainMessage(const std::string&) override {}
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}
};

// A device folder with `count` slow Veltra Plus handsets and a settings file for them.
struct Line {
    explicit Line(int count) {
        std::string name = (std::filesystem::temp_directory_path() / "halyard_station_XXXXXX");
        folder = mkdtemp(name.data());
        setenv("VELORUM_DEVICE_DIR", folder.c_str(), 1);
        varnak::sim::DeviceImage device = varnak::sim::FactoryVeltraHandset();
        device.delayMs = kAnswerMs;
        for (int i = 0; i < count; ++i) {
            const std::string port = "H" + std::to_string(i);
            ok = varnak::sim::SaveDevice(varnak::sim::DevicePath(folder, port), device, nullptr) &&
                 ok;
            ports.push_back(port);
        }
        NoDialogs dialogs;
        halyard::SettingsModel model(dialogs);
        file = (folder / "line.wpx").string();
        ok = halyard::SaveSettingsFile(model, file) && ok;
    }
    ~Line() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    // halyard-cli program FILE --port H0 --port H1 ..., its output discarded.
    bool Program() const {
        std::vector<std::string> args = {HALYARD_CLI, "program", file};
        for (const std::string& port : ports) {
            args.push_back("--port");
            args.push_back(port);
        }
        pid_t pid = Spawn(args);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

    static pid_t Spawn(std::vector<std::string> args) {
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
        const int spawned = posix_spawn(&pid, HALYARD_CLI, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 ? pid : -1;
    }

    std::filesystem::path folder;
    std::vector<std::string> ports;
    std::string file;
    bool ok = true;
};

void BM_ProgramDevices(benchmark::State& state) {
    const Line line(static_cast<int>(state.range(0)));
    if (!line.ok) {
        state.SkipWithError("the simulated devices could not be made");
        return;
    }
    for (auto _ : state) {
        if (!line.Program()) {
            state.SkipWithError("halyard-cli did not program every device");
            return;
        }
    }
}
BENCHMARK(BM_ProgramDevices)->Arg(1)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<std::string> LogLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Milliseconds since the epoch of a record time "2026-12-09T15:34:23.125Z".
double RecordMs(const std::string& time) {
    std::tm utc{};
    int ms = 0;
    std::sscanf(time.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms);
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return static_cast<double>(timegm(&utc)) * 1000 + ms;
}

void BM_WatchLatency(benchmark::State& state) {
    constexpr int kPlugs = 20;
    const Line line(1);
    const std::filesystem::path device = varnak::sim::DevicePath(line.folder, line.ports[0]);
    const std::filesystem::path log = line.folder / "units.jsonl";
    std::string error;
    if (!line.ok || !varnak::sim::PlugDevice(device, false, &error)) {
        state.SkipWithError("the simulated device could not be made");
        return;
    }
    const pid_t station =
        Line::Spawn({HALYARD_CLI, "program", line.file, "--watch", "--plain", "--log", log});
    std::vector<double> latencies;
    for (auto _ : state) {
        latencies.clear();
        for (int plug = 0; plug < kPlugs; ++plug) {
            const size_t before = LogLines(log).size();
            const double plugged = std::chrono::duration<double, std::milli>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
            varnak::sim::PlugDevice(device, true, nullptr);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            std::vector<std::string> lines;
            while ((lines = LogLines(log)).size() == before &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (lines.size() == before) {
                state.SkipWithError("the station did not take the unit");
                break;
            }
            const auto record = nlohmann::json::parse(lines.back(), nullptr, false);
            latencies.push_back(RecordMs(record.value("start", "")) - plugged);
            varnak::sim::PlugDevice(device, false, nullptr);
            // Long enough for the station to see the unit gone.
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    }
    kill(station, SIGINT);
    int status = 0;
    waitpid(station, &status, 0);
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        state.counters["latency_ms"] = latencies[latencies.size() / 2];
    }
}
BENCHMARK(BM_WatchLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {
            {"programming 128 devices at once vs one (50 ms per answer; the ratio is the "
             "slow-down, 1.5 at most wanted)",
             "BM_ProgramDevices/128/real_time", "BM_ProgramDevices/1/real_time"},
        },
        {
            {"watch mode: median from a unit's plug to its programming start over 20 plugs "
             "(1000 ms at most wanted)",
             "BM_WatchLatency/iterations:1/real_time", "latency_ms", "ms"},
        });
}
