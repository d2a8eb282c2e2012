// halyard-cli: the Varnak Plus programmer as a production-line station, without a window.
//   halyard-cli ports   [--json]
//   halyard-cli read    [--port NAME]... [--all] [--save FILE] [--strict] [STATION OPTIONS]
//   halyard-cli program FILE [--port NAME]... [--all] [--watch] [--reset] [--no-verify]
//                       [--strict] [--dry-run] [--expect KIND] [--min-firmware V.VV]
//                       [STATION OPTIONS]
//   halyard-cli restart [--port NAME]... [--all] [STATION OPTIONS]
//   halyard-cli units   --db URL [--serial S] [--port P] [--result R] [FILTERS] [--json|--csv]
//   halyard-cli report  --db URL [FILTERS] [--json|--csv]
//   halyard-cli db sync --db URL [--log FILE]
// STATION OPTIONS: [--json] [--log FILE] [--db URL] [--station NAME] [--timeout SECONDS]
//                  [--jobs N] [--plain]
// Every unit is served by a process of its own; messages the window shows as dialogs are printed
// with their caption (errors to standard error), and the answer to "Reset device?" comes from
// --reset. Argument parsing and terminal output live here; the station itself is the station
// library.
#include <halyard/records.h>
#include <signal.h>
#include <station/board.h>
#include <station/db/dbstore.h>
#include <station/record.h>
#include <station/runner.h>
#include <station/settingscheck.h>
#include <station/store.h>
#include <unistd.h>
#include <varnakcli.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dbcommands.h"
#include "output.h"
#include "portchoice.h"

namespace {

using namespace halyard;
using namespace halyard::cli;
using namespace halyard::station;
using varnak::cli::kExitFailure;
using varnak::cli::kExitInterrupted;
using varnak::cli::kExitSuccess;
using varnak::cli::kExitUsage;

constexpr double kDefaultTimeoutSeconds = 60;
// How long a run's end waits for records still on their way to the database.
constexpr std::chrono::seconds kDatabaseFinishWait{10};

constexpr const char* kFileCarriesHelp =
    "A settings file carries every setting of the handset and gateway pages except the remote "
    "find-me check box, which stays as the device holds it.";
constexpr const char* kExitCodesHelp =
    "Exit status: 0 every unit ok, 1 a unit failed, was refused or its record could not be "
    "stored (or the output was closed), 2 usage error, 130 interrupted.";

Printer gOut(STDOUT_FILENO);
Printer gErr(STDERR_FILENO);

int UsageError(const std::string& text) {
    gErr.Write("halyard-cli: " + text + "\nRun with --help for more information.\n");
    return kExitUsage;
}

struct Settings {
    std::vector<std::string> ports;
    bool all = false;
    bool json = false;
    bool plain = false;
    std::string logFile;
    std::string db;
    std::string station;
    double timeout = kDefaultTimeoutSeconds;
    size_t jobs = 0;
    std::string file;
    std::string save;
    bool reset = false;
    bool verify = true;
    bool strict = false;
    bool dryRun = false;
    bool watch = false;
    std::string expect;
    std::string minFirmware;
};

int ListPorts(const PortTable& table, bool json) {
    for (const PortEntry& entry : table.Entries()) {
        if (json) {
            gOut.Write(JsonText(Json{{"port", entry.name}, {"connection", entry.connection}}) +
                       "\n");
        } else {
            gOut.Write(entry.name + "\t" + entry.connection + "\n");
        }
    }
    return gOut.Closed() ? kExitFailure : kExitSuccess;
}

// Everything a run prints and stores, from the runner's events: the unit lines or the live
// display, the result lines, the records, the closing table.
class Station {
  public:
    Station(const Settings& settings, Operation operation, RecordContext context,
            std::unique_ptr<RecordStore> store, bool several)
        : mSettings(settings),
          mOperation(operation),
          mContext(std::move(context)),
          mStore(std::move(store)),
          mSeveral(several),
          // With --json standard output holds the records alone; the rest goes to stderr.
          mHuman(settings.json ? gErr : gOut) {
        mLive = !settings.plain && mHuman.IsTerminal();
        if (mLive) {
            mDisplay.emplace(mHuman);
        }
    }

    // The runner's events; its units are numbered after those refused before it ran.
    RunnerEvents Events() {
        RunnerEvents events;
        const size_t first = mNextUnit;
        events.started = [this, first](size_t unit, const Job& job) {
            mBoard.Started(first + unit, job.port.name);
            Redraw();
        };
        events.line = [this, first](size_t unit, const std::string& line, bool error) {
            if (mSettings.json || mLive) {
                return;
            }
            std::istringstream pieces(line);
            for (std::string piece; std::getline(pieces, piece);) {
                (error ? gErr : gOut).Write(Prefix(first + unit) + piece + "\n");
            }
        };
        if (mLive) {
            // Only the live display shows a unit's stages as they come.
            events.progress = [this, first](size_t unit, const UnitReport& soFar) {
                mBoard.Progress(first + unit, soFar);
            };
        }
        events.finished = [this, first](size_t unit, const UnitReport& report,
                                        WallClock::time_point start, WallClock::time_point end) {
            Finished(first + unit, report, start, end);
        };
        events.tick = [this] {
            if (mStore) {
                ShowNotices(mStore->TakeNotices());
            }
            Redraw();
        };
        return events;
    }

    void Finished(size_t unit, const UnitReport& report, WallClock::time_point start,
                  WallClock::time_point end) {
        mBoard.Finished(unit, report);
        const Json record = MakeRecord(report, mContext, start, end);
        if (mStore) {
            std::string why;
            if (!mStore->Store(record, why)) {
                mStored = false;
                gErr.Write("halyard-cli: " + why + "\n");
            }
        }
        if (mSettings.json) {
            gOut.Write(JsonText(record) + "\n");
        }
        if (!mLive && !mSettings.json) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.2f s", report.seconds);
            std::string line = (report.port.empty() ? "" : report.port + ": ") +
                               OperationName(mOperation) + (report.dryRun ? " (dry run) " : " ") +
                               (report.result == "ok"            ? "ok"
                                : report.result == "interrupted" ? "INTERRUPTED"
                                                                 : "FAILED") +
                               " (" + seconds + ")";
            if (report.result != "ok" && !report.error.empty()) {
                line += ": " + report.error;
            }
            gOut.Write(line + "\n");
        }
        Redraw();
    }

    // A unit refused before it started: an absent port, or every port when the file is refused
    // (no port: a watch for units yet to come).
    void Refused(const std::string& port, const std::string& why) {
        UnitReport report;
        report.port = port;
        report.operation = mOperation;
        report.dryRun = mSettings.dryRun && mOperation == Operation::Program;
        report.error = why;
        const WallClock::time_point now = WallClock::now();
        Finished(mNextUnit++, report, now, now);
    }

    // The display's last drawing, the closing table and the summary; the exit code.
    int End(bool finished) {
        if (mStore) {
            ShowNotices(mStore->Finish(kDatabaseFinishWait));
        }
        if (mDisplay) {
            mDisplay->Draw(mBoard);
        }
        const std::vector<UnitRow>& rows = mBoard.Rows();
        const Counters counts = mBoard.Count();
        size_t interrupted = 0;
        std::string failedPorts;
        for (const UnitRow& row : rows) {
            if (row.result == "interrupted") {
                ++interrupted;
            } else if (row.result != "ok" && !row.port.empty()) {
                failedPorts += (failedPorts.empty() ? "" : " ") + row.port;
            }
        }
        // A refusal recorded without a port (a watch refused before it began) has no unit.
        const bool anyUnit = std::any_of(rows.begin(), rows.end(),
                                         [](const UnitRow& row) { return !row.port.empty(); });
        if (anyUnit && (mSeveral || rows.size() > 1)) {
            std::string text = mSettings.json ? "" : "\n" + ClosingTable(mBoard);
            text += std::string(OperationName(mOperation)) + ": " + std::to_string(rows.size()) +
                    " devices, " + std::to_string(counts.ok) + " ok";
            if (counts.failed > interrupted) {
                text += ", " + std::to_string(counts.failed - interrupted) + " failed (" +
                        failedPorts + ")";
            }
            if (interrupted > 0) {
                text += ", " + std::to_string(interrupted) + " interrupted";
            }
            mHuman.Write(text + "\n");
        }
        if (!finished) {
            return kExitInterrupted;
        }
        const bool allOk = counts.failed == 0 && counts.ok == rows.size();
        return allOk && mStored && !gOut.Closed() ? kExitSuccess : kExitFailure;
    }

  private:
    // What the record store has to tell (a database gone or back), above the live display.
    void ShowNotices(const std::vector<std::string>& notices) {
        for (const std::string& notice : notices) {
            if (mDisplay) {
                mDisplay->Clear();
            }
            gErr.Write("halyard-cli: " + notice + "\n");
        }
    }
    std::string Prefix(size_t unit) const {
        return mSeveral ? mBoard.Rows()[unit].port + ": " : std::string();
    }
    void Redraw() {
        if (mDisplay) {
            mDisplay->Draw(mBoard);
        }
    }

    const Settings& mSettings;
    Operation mOperation;
    RecordContext mContext;
    std::unique_ptr<RecordStore> mStore;
    bool mSeveral;
    Printer& mHuman;
    bool mLive = false;
    std::optional<LiveDisplay> mDisplay;
    Board mBoard;
    bool mStored = true;
    size_t mNextUnit = 0;
};

void AddStationOptions(CLI::App* command, Settings& s) {
    command
        ->add_option("--port", s.ports,
                     "port name from 'halyard-cli ports'; repeat it for several units at once "
                     "(a port that is not listed fails as \"no such port\"; default: the only "
                     "programming port listed, when just one is)")
        ->allow_extra_args(false);
    command->add_flag("--all", s.all,
                      "every programming port listed (not the USB device \\\\.\\MVT0); needed "
                      "when several ports are listed and no --port is given (default: no)");
    command->add_flag("--json", s.json,
                      "print one JSON record per unit on standard output, and nothing else "
                      "(default: no; the lines for people go to standard error then)");
    command->add_option("--log", s.logFile,
                        "append one JSON record per unit to this file (default: none)");
    AddDatabaseOption(command, s.db)
        ->description(
            "also store every record in this database: a file path or sqlite:PATH (a SQLite "
            "file shared by the stations of this machine), or postgresql://... (a factory's "
            "server; libpq's environment, service and password files apply). Records go to the "
            "--log file first (default: a spool under ~/.local/state/halyard/spool) and from "
            "there to the database; when it cannot be reached the units go on and the records "
            "wait, to be sent at the next run or by 'halyard-cli db sync' (default: none)");
    command->add_option("--station", s.station,
                        "the station's name in the records (default: the host name)");
    command
        ->add_option("--timeout", s.timeout,
                     "seconds a unit may take before it is ended and fails (default: 60; 0: "
                     "no limit)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--jobs", s.jobs, "at most N units at once (default: every unit at once)")
        ->transform(varnak::cli::DecimalNumber())
        ->check(CLI::PositiveNumber);
    command->add_flag("--plain", s.plain,
                      "print the units' lines as they come, not the live display a terminal "
                      "gets (default: the live display on a terminal, lines elsewhere)");
}

Job MakeJob(const Settings& s, Operation operation, const PortEntry& port,
            const SettingsVerdict& verdict, const Gates& gates) {
    Job job;
    job.operation = operation;
    job.port = port;
    job.reset = s.reset;
    job.verify = s.verify;
    job.dryRun = s.dryRun;
    job.strict = s.strict;
    job.gates = gates;
    job.savePath = s.save.empty() ? std::string() : WithPort(s.save, port.name);
    job.settings = verdict.text;
    job.fileWarnings = verdict.warnings;
    return job;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed output (| head) must not end the station with units half done.
    ::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"Varnak Plus programmer for production lines"};
    app.set_version_flag("--version", VARNAK_VERSION);
    app.require_subcommand(1);
    app.footer(std::string(kFileCarriesHelp) + "\n" + varnak::cli::kExitStatusHelp);

    Settings s;
    auto* portsCommand = app.add_subcommand("ports", "list every port the port listing reports");
    portsCommand->add_flag("--json", s.json,
                           "print one JSON object per port (default: a name and connection per "
                           "line)");
    portsCommand->footer(
        "Exit status: 0 the ports were listed, 1 the output was closed, 2 usage error.");

    auto* read = app.add_subcommand("read", "read the units' settings");
    AddStationOptions(read, s);
    read->add_option("--save", s.save,
                     "save the settings read to this settings file; with several ports it must "
                     "hold {port}, replaced by each port's name (default: not saved)");
    read->add_flag("--strict", s.strict,
                   "fail a unit whose settings record is shorter than its 25 words (default: "
                   "warn)");
    read->footer(kExitCodesHelp);

    auto* program = app.add_subcommand("program", "program a settings file into the units");
    program->add_option("FILE", s.file, "settings file (.wpx)")->required();
    AddStationOptions(program, s);
    program->add_flag("--watch", s.watch,
                      "keep running: program every unit that appears on a port (all ports, or "
                      "those named by --port) once, and again only after it has gone and come "
                      "back; Ctrl-C stops taking units, a second Ctrl-C interrupts those in "
                      "progress (default: no; program the ports chosen once, then exit)");
    program->add_flag("--reset", s.reset, "restart each unit after programming (default: no)");
    program->add_flag("--verify", s.verify,
                      "read the settings back and compare every word (the default)");
    program->add_flag_callback(
        "--no-verify", [&s] { s.verify = false; }, "do not read the settings back");
    program->add_flag("--strict", s.strict,
                      "refuse a settings file that gives any warning (missing entries, values "
                      "that are not plain numbers, another version), and fail a unit whose "
                      "settings record is short (default: warn and go on)");
    program->add_flag("--dry-run", s.dryRun,
                      "check the file, read each unit's identity and settings, print the words "
                      "programming would change, and write nothing (default: no)");
    program
        ->add_option("--expect", s.expect,
                     "program only units of this kind; others fail untouched (default: any)")
        ->check(CLI::IsMember({"handset", "gateway"}));
    program->add_option("--min-firmware", s.minFirmware,
                        "program only units with this firmware version or newer, e.g. 3.04; a "
                        "unit whose version cannot be read fails (default: any)");
    program->footer(std::string(kFileCarriesHelp) + "\n" + kExitCodesHelp);

    auto* restart = app.add_subcommand("restart", "restart the units");
    AddStationOptions(restart, s);
    restart->footer(kExitCodesHelp);

    DatabaseCommands databaseCommands(app, gOut, gErr);

    if (const auto code = varnak::cli::ParseCommandLine(app, argc, argv)) {
        return *code;
    }

    if (const int code = databaseCommands.Run(); code >= 0) {
        return code;
    }
    std::optional<station::db::DatabaseUrl> database;
    // Given empty, --db is still given: a URL that names no database is a usage error.
    if (read->count("--db") + program->count("--db") + restart->count("--db") > 0) {
        std::string why;
        database = station::db::DatabaseUrl::Parse(s.db, why);
        if (!database) {
            return UsageError("--db: " + why);
        }
    }

    PortTable table;
    table.List({}, PortTable::kUnlimited);
    if (portsCommand->parsed()) {
        return ListPorts(table, s.json);
    }
    const Operation operation = read->parsed()      ? Operation::Read
                                : program->parsed() ? Operation::Program
                                                    : Operation::Restart;
    Gates gates;
    if (!s.expect.empty()) {
        gates.kind = s.expect == "handset" ? kKindHandset : kKindGateway;
    }
    if (!s.minFirmware.empty()) {
        uint16_t version = 0;
        if (!ParseFirmwareVersion(s.minFirmware, version)) {
            return UsageError("--min-firmware must look like 3.04");
        }
        gates.minimumFirmware = version;
    }
    if (s.watch && s.all && !s.ports.empty()) {
        return UsageError("--all and --port exclude each other");
    }
    std::vector<PortEntry> chosen;
    std::vector<std::string> absent;
    if (!s.watch) {
        if (const auto error = ChoosePorts(table, s.ports, s.all, chosen, absent)) {
            if (error->usage) {
                return UsageError(error->text);
            }
            gErr.Write("halyard-cli: " + error->text + "\n");
            return kExitFailure;
        }
    }
    const bool several = s.watch || chosen.size() + absent.size() > 1;
    if (several && !s.save.empty() && s.save.find(kPortPlaceholder) == std::string::npos) {
        return UsageError("with several ports --save needs {port} in the file name");
    }

    std::unique_ptr<RecordStore> store;
    if (database) {
        // The log, when there is one, is the spool the records are sent from.
        auto spooled = std::make_unique<station::db::DatabaseStore>(
            *database, s.logFile.empty() ? station::db::DefaultSpoolPath(*database) : s.logFile,
            HostName());
        std::string why;
        if (!spooled->Open(why)) {
            gErr.Write("halyard-cli: " + why + "\n");
            return kExitFailure;
        }
        store = std::move(spooled);
    } else if (!s.logFile.empty()) {
        auto log = std::make_unique<LogFileStore>();
        std::string why;
        if (!log->Open(s.logFile, why)) {
            gErr.Write("halyard-cli: " + why + "\n");
            return kExitFailure;
        }
        store = std::move(log);
    }

    SettingsVerdict verdict;
    RecordContext context;
    context.station = s.station.empty() ? HostName() : s.station;
    if (operation == Operation::Program) {
        verdict = CheckSettingsFile(s.file, s.strict);
        std::error_code ec;
        context.settingsFile = std::filesystem::absolute(s.file, ec).string();
        if (!verdict.sha256.empty()) {
            context.settingsSha256 = verdict.sha256;
        }
        for (const std::string& warning : verdict.warnings) {
            gErr.Write("halyard-cli: " + s.file + ": " + warning + "\n");
        }
    }
    Station station(s, operation, context, std::move(store), several);
    for (const std::string& name : absent) {
        station.Refused(name, "no such port");
    }
    if (!verdict.refusal.empty()) {
        gErr.Write("halyard-cli: " + verdict.refusal + "\n");
        // The refusal is recorded for every port it kept from being programmed; a watch with
        // no port named has no unit yet, and records it once without a port.
        std::vector<std::string> refusedPorts;
        for (const PortEntry& port : chosen) {
            refusedPorts.push_back(port.name);
        }
        if (s.watch) {
            refusedPorts = s.ports.empty() ? std::vector<std::string>{""} : s.ports;
        }
        for (const std::string& port : refusedPorts) {
            station.Refused(port, verdict.refusal);
        }
        station.End(true);
        return kExitFailure;
    }

    RunnerOptions options;
    options.timeoutSeconds = s.timeout;
    options.maxUnits = s.jobs;
    const PortClaims claims;
    options.claims = &claims;
    Runner runner(options, station.Events());

    bool finished = true;
    if (s.watch) {
        gErr.Write("halyard-cli: watching " +
                   (s.ports.empty() ? std::string("every port") : "the named ports") +
                   " for units; Ctrl-C stops\n");
        finished = runner.Watch([&](const PortEntry& port) -> std::optional<Job> {
            if (!s.ports.empty() &&
                std::find(s.ports.begin(), s.ports.end(), port.name) == s.ports.end()) {
                return std::nullopt;
            }
            return MakeJob(s, operation, port, verdict, gates);
        });
    } else if (!chosen.empty()) {
        if (!several && !s.json) {
            gOut.Write("Transport = " + chosen[0].name + "\n");
        }
        std::vector<Job> jobs;
        for (const PortEntry& port : chosen) {
            jobs.push_back(MakeJob(s, operation, port, verdict, gates));
        }
        finished = runner.Run(jobs);
    }
    return station.End(finished);
}
