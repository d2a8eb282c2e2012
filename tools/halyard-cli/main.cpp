// halyard-cli: the Varnak Plus programmer for production lines, without a window.
//   halyard-cli ports   [--json]
//   halyard-cli read    [--port NAME]... [--all] [--save FILE] [--json] [--log FILE]
//   halyard-cli program FILE [--port NAME]... [--all] [--reset] [--no-verify] [--strict]
//                       [--json] [--log FILE]
//   halyard-cli restart [--port NAME]... [--all] [--json] [--log FILE]
// NAME is a port name as "halyard-cli ports" lists it; without --port the first port of the
// table is used, as in the window; --all takes every programming port listed. Several devices
// are served at the same time, each by a process of its own. Messages the window shows as
// dialogs are printed with their caption (errors to standard error), log entries go to
// standard output, and the answer to "Reset device?" comes from --reset.
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <sys/file.h>
#include <unistd.h>
#include <varnakcli.h>
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "portchoice.h"
#include "station.h"
#include "unit.h"

namespace {

using namespace halyard;
using namespace halyard::cli;
using varnak::cli::kExitFailure;
using varnak::cli::kExitInterrupted;
using varnak::cli::kExitSuccess;
using varnak::cli::kExitUsage;

int UsageError(const std::string& text) {
    std::cerr << "halyard-cli: " << text << "\nRun with --help for more information." << std::endl;
    return kExitUsage;
}

// Messages of the model outside any unit (there are none when all is well) go to stderr.
class StderrDialogs : public IUserDialogs {
  public:
    DialogButton ShowMessage(const DialogRequest& request) override {
        std::cerr << request.caption << ": " << request.text << std::endl;
        return mbOK;
    }
    void ShowPlainMessage(const std::string& text) override { std::cerr << text << std::endl; }
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}
};

// --log FILE: one JSON line per device operation, appended under an advisory lock in one
// write, so that stations running at the same time can share the file.
class UnitLog {
  public:
    ~UnitLog() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    bool Open(const std::string& path) {
        mPath = path;
        mFd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (mFd < 0) {
            std::cerr << "halyard-cli: cannot open the log " << path << ": " << std::strerror(errno)
                      << std::endl;
        }
        return mFd >= 0;
    }
    bool IsOpen() const { return mFd >= 0; }
    bool Append(const Json& report) {
        Json entry;
        entry["time"] = TimeNow();
        for (const char* field :
             {"port", "operation", "kind", "model", "firmware", "result", "error", "seconds"}) {
            entry[field] = report.contains(field) ? report[field] : Json();
        }
        const std::string line = JsonText(entry) + "\n";
        while (::flock(mFd, LOCK_EX) != 0 && errno == EINTR) {
        }
        bool ok = true;
        for (size_t done = 0; ok && done < line.size();) {
            const ssize_t n = ::write(mFd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            ok = n > 0;
            done += ok ? static_cast<size_t>(n) : 0;
        }
        const int saved = errno;
        ::flock(mFd, LOCK_UN);
        if (!ok) {
            std::cerr << "halyard-cli: cannot append to the log " << mPath << ": "
                      << std::strerror(saved) << std::endl;
        }
        return ok;
    }

  private:
    // UTC, to the millisecond: "2025-03-01T09:15:02.125Z".
    static std::string TimeNow() {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now - std::chrono::system_clock::from_time_t(seconds))
                            .count();
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        char text[96];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                      static_cast<int>(ms));
        return text;
    }

    std::string mPath;
    int mFd = -1;
};

// Loads the settings file for `program` and judges it before any device is touched. Returns
// the exit code of a refusal, or nothing when the file may be programmed (`text` holds it).
std::optional<int> CheckSettingsFile(const std::string& file, bool strict, std::string& text) {
    std::error_code ec;
    const bool folder = std::filesystem::is_directory(file, ec);
    errno = 0;
    std::ifstream in;
    if (!folder) {
        in.open(file, std::ios::binary);
    }
    const int openError = errno;
    if (in.is_open()) {
        // An empty file reads as empty text, to be judged below like any other content.
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (folder || !in.is_open() || in.bad()) {
        const char* reason = folder           ? "it is a folder"
                             : in.is_open()   ? "it cannot be read"
                             : openError != 0 ? std::strerror(openError)
                                              : "it cannot be opened";
        std::cerr << "halyard-cli: cannot load " << file << ": The file could not be opened ("
                  << reason << ")" << std::endl;
        return kExitFailure;
    }
    StderrDialogs dialogs;
    SettingsModel model(dialogs);
    std::istringstream stream(text);
    const LoadReport report = LoadSettingsQuietly(model, stream);
    for (const std::string& warning : report.warnings) {
        std::cerr << "halyard-cli: " << file << ": " << warning << std::endl;
    }
    if (report.result == LoadResult::Stopped) {
        std::cerr << "halyard-cli: refusing " << file
                  << ": its load stopped: " << report.stopMessage << " No device was touched."
                  << std::endl;
        return kExitFailure;
    }
    if (report.settingsApplied == 0) {
        std::cerr << "halyard-cli: refusing " << file
                  << ": no settings could be loaded from it (is it a settings file?). No device "
                     "was touched."
                  << std::endl;
        return kExitFailure;
    }
    if (strict && !report.warnings.empty()) {
        std::cerr << "halyard-cli: refusing " << file
                  << " under --strict: " << report.warnings.size()
                  << " warning(s). No device was touched." << std::endl;
        return kExitFailure;
    }
    return std::nullopt;
}

int ListPorts(const PortTable& table, bool json) {
    for (const PortEntry& entry : table.Entries()) {
        if (json) {
            std::cout << JsonText(Json{{"port", entry.name}, {"connection", entry.connection}})
                      << "\n";
        } else {
            std::cout << entry.name << "\t" << entry.connection << "\n";
        }
    }
    return kExitSuccess;
}

// Runs the jobs and prints their output: every line of a device carries its port name when
// there are several, each device ends with a result line, several end with a summary. With
// --json, standard output holds one JSON object per device and nothing else.
int RunJobs(const std::vector<Job>& jobs, bool json, UnitLog& log) {
    const bool several = jobs.size() > 1;
    auto prefix = [&](size_t job) { return several ? jobs[job].port.name + ": " : std::string(); };
    if (!json && !several) {
        std::cout << "Transport = " << jobs[0].port.name << std::endl;
    }
    std::vector<std::string> failed;
    std::vector<std::string> interrupted;
    bool logged = true;
    StationEvents events;
    events.line = [&](size_t job, const std::string& line, bool error) {
        if (json) {
            return;
        }
        std::ostream& out = error ? std::cerr : std::cout;
        std::istringstream pieces(line);
        for (std::string piece; std::getline(pieces, piece);) {
            out << prefix(job) << piece << "\n";
        }
        out.flush();
    };
    events.report = [&](size_t job, const Json& report) {
        const std::string result = report.value("result", "failed");
        if (result == "interrupted") {
            interrupted.push_back(jobs[job].port.name);
        } else if (result != "ok") {
            failed.push_back(jobs[job].port.name);
        }
        if (log.IsOpen()) {
            logged = log.Append(report) && logged;
        }
        if (json) {
            std::cout << JsonText(report) << std::endl;
            return;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s", report.value("seconds", 0.0));
        std::cout << jobs[job].port.name << ": " << OperationName(jobs[job].operation) << " "
                  << (result == "ok"            ? "ok"
                      : result == "interrupted" ? "INTERRUPTED"
                                                : "FAILED")
                  << " (" << seconds << ")";
        if (result != "ok" && report.contains("error") && report["error"].is_string()) {
            std::cout << ": " << report["error"].get<std::string>();
        }
        std::cout << std::endl;
    };
    const bool finished = RunStation(jobs, events);
    if (several) {
        std::ostream& out = json ? std::cerr : std::cout;
        out << OperationName(jobs[0].operation) << ": " << jobs.size() << " devices, "
            << jobs.size() - failed.size() - interrupted.size() << " ok";
        if (!failed.empty()) {
            out << ", " << failed.size() << " failed (";
            for (size_t i = 0; i < failed.size(); ++i) {
                out << (i ? " " : "") << failed[i];
            }
            out << ")";
        }
        if (!interrupted.empty()) {
            out << ", " << interrupted.size() << " interrupted";
        }
        out << std::endl;
    }
    if (!finished) {
        return kExitInterrupted;
    }
    return failed.empty() && interrupted.empty() && logged ? kExitSuccess : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Varnak Plus programmer for production lines"};
    app.set_version_flag("--version", VARNAK_VERSION);
    app.require_subcommand(1);
    app.footer(varnak::cli::kExitStatusHelp);

    std::vector<std::string> ports;
    bool all = false;
    bool json = false;
    std::string logFile;
    std::string file;
    std::string save;
    bool reset = false;
    bool verify = true;
    bool strict = false;

    auto addCommon = [&](CLI::App* command) {
        command
            ->add_option("--port", ports,
                         "port name from 'halyard-cli ports'; repeat it for "
                         "several devices at once")
            ->allow_extra_args(false);
        command->add_flag("--all", all,
                          "every programming port listed (not the USB device \\\\.\\MVT0)");
        command->add_flag("--json", json, "print one JSON object per device");
        command->add_option("--log", logFile,
                            "append one JSON line per device operation to this file");
        command->footer(varnak::cli::kExitStatusHelp);
    };
    auto* portsCommand = app.add_subcommand("ports", "list every port the port listing reports");
    portsCommand->add_flag("--json", json, "print one JSON object per port");
    portsCommand->footer(varnak::cli::kExitStatusHelp);
    auto* read = app.add_subcommand("read", "read the devices' settings");
    addCommon(read);
    read->add_option("--save", save,
                     "save the settings read to this settings file; with several ports it must "
                     "hold {port}, replaced by each port's name");
    auto* program = app.add_subcommand("program", "program a settings file into the devices");
    program->add_option("FILE", file, "settings file (.wpx)")->required();
    addCommon(program);
    program->add_flag("--reset", reset, "restart each device after programming");
    program->add_flag("--verify,!--no-verify", verify,
                      "read the settings back and compare them (the default)");
    program->add_flag("--strict", strict, "refuse a settings file that gives any warning");
    auto* restart = app.add_subcommand("restart", "restart the devices");
    addCommon(restart);

    if (const auto code = varnak::cli::ParseCommandLine(app, argc, argv)) {
        return *code;
    }

    PortTable table;
    table.List({}, PortTable::kUnlimited);
    if (portsCommand->parsed()) {
        return ListPorts(table, json);
    }
    std::vector<PortEntry> chosen;
    if (const auto error = ChoosePorts(table, ports, all, chosen)) {
        if (error->usage) {
            return UsageError(error->text);
        }
        std::cerr << "halyard-cli: " << error->text << std::endl;
        return kExitFailure;
    }
    if (chosen.size() > 1 && !save.empty() && save.find(kPortPlaceholder) == std::string::npos) {
        return UsageError("with several ports --save needs {port} in the file name");
    }
    UnitLog log;
    if (!logFile.empty() && !log.Open(logFile)) {
        return kExitFailure;
    }
    std::string settings;
    if (program->parsed()) {
        if (const auto code = CheckSettingsFile(file, strict, settings)) {
            return *code;
        }
    }

    std::vector<Job> jobs;
    for (const PortEntry& port : chosen) {
        Job job;
        job.operation = read->parsed()      ? Operation::Read
                        : program->parsed() ? Operation::Program
                                            : Operation::Restart;
        job.port = port;
        job.reset = reset;
        job.verify = verify;
        job.savePath = save.empty() ? std::string() : WithPort(save, port.name);
        job.settings = settings;
        jobs.push_back(std::move(job));
    }
    return RunJobs(jobs, json, log);
}
