// What serving many devices at once buys a production line.
//
// halyard-cli programs a settings file into 16 simulated handsets at once, each device served
// by its own process, against programming one. Every device takes 50 ms for each answer (chip
// name, PS key read and write), as a slow cradle link might, so one program with its verify
// costs six answers, about 0.3 s. The ratio is the time for 16 over the time for one: near 1
// when the devices are really served side by side, 16 when they are served one after another.
#include <bench/common/ratio.h>
#include <fcntl.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <spawn.h>
#include <sys/wait.h>
#include <velorum/devicefile.h>

#include <cstdlib>
#include <filesystem>
#include <string>
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
        int status = 0;
        return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
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
BENCHMARK(BM_ProgramDevices)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {
            {"programming 16 devices at once vs one (50 ms per answer; the ratio is the "
             "slow-down, 1.5 at most wanted)",
             "BM_ProgramDevices/16/real_time", "BM_ProgramDevices/1/real_time"},
        });
}
