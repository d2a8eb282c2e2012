// halyard-cli as a station a line leaves running: time-outs, records that keep what was known,
// port choice, port claims, gates, dry runs, the unit limit, records against their schema, a
// closed output and a full disk, run as a program on a private device folder.
#include <gtest/gtest.h>
#include <halyard/records.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>
#include <station/portclaim.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "stationfixture.h"

namespace halyard {
namespace {

using test::Cli;
using test::Outcome;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::vector<Json> Records(const std::string& text) {
    std::vector<Json> records;
    for (const std::string& line : Lines(text)) {
        records.push_back(Json::parse(line));
    }
    return records;
}

const Json& RecordOf(const std::vector<Json>& records, const std::string& port) {
    for (const Json& record : records) {
        if (record.at("port") == port) {
            return record;
        }
    }
    static const Json none;
    ADD_FAILURE() << "no record for " << port;
    return none;
}

class LineTest : public StationTest {
  protected:
    // Starts halyard-cli with its output in a file of the device folder.
    pid_t Start(const std::vector<std::string>& args, const std::string& output) {
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string path = Path(output);
            freopen(path.c_str(), "w", stdout);
            dup2(fileno(stdout), 2);
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
    int Wait(pid_t pid, int seconds = 120) {
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
    bool WaitFor(const Condition& condition, int seconds = 60) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (!condition()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    uint16_t Flags(const std::string& name) { return Image(name).keys.at(PSKEY_USR33)[HS_FLAGS]; }
};

// A unit that stops answering holds only itself: it is ended after its time-out.
TEST_F(LineTest, AHungUnitTimesOutAndHoldsNoOther) {
    const std::string file = StealthFile();
    Create("OK1");
    Create("HANG");
    Append("HANG", "hang\n");
    Create("HANGREC");
    Append("HANGREC", "hang 02ab\n");
    const auto start = Clock::now();
    const Outcome run = Split("program " + file + Ports({"OK1", "HANG", "HANGREC"}) +
                              " --timeout 8 --plain --json");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));  // not held by the hung units
    EXPECT_EQ(run.status, 1) << run.output;
    const std::vector<Json> records = Records(run.out);
    ASSERT_EQ(records.size(), 3u) << run.out;
    EXPECT_EQ(RecordOf(records, "OK1").at("result"), "ok");
    EXPECT_EQ(RecordOf(records, "HANG").at("error"), "timed out after 8 s while connecting");
    const Json& hung = RecordOf(records, "HANGREC");
    EXPECT_EQ(hung.at("error"), "timed out after 8 s while reading the settings record");
    EXPECT_EQ(hung.at("stage"), "identity read");
    EXPECT_EQ(hung.at("kind"), "handset") << "what was known stays in the record";
    EXPECT_EQ(Flags("OK1"), 0xB700);
    // A killed unit loses its claim, and the station removes the lock file it left.
    for (const std::string name : {"HANG", "HANGREC"}) {
        const std::string lock = station::PortClaims::LockName(
            {name, std::string(varnak::sim::kTransportPrefix) + name});
        for (const std::filesystem::path& folder : station::PortClaims::DefaultFolders()) {
            EXPECT_FALSE(std::filesystem::exists(folder / lock)) << folder / lock;
        }
    }
    EXPECT_TRUE(Contains(Cli("program --help").output, "(default: 60;"));
}

// Ctrl-C: a unit written but not verified is recorded so, with what the station knew; units
// not started are recorded untouched.
TEST_F(LineTest, AnInterruptedUnitKeepsWhatTheStationKnew) {
    const std::string file = StealthFile();
    for (const char* name : {"S1", "S2", "S3"}) {
        // Just under the 1000 ms a port's connection waits for an answer.
        Create(name, "--kind handset --model veltra --delay 950");
    }
    const pid_t cli = Start({"program", file, "--port", "S1", "--port", "S2", "--port", "S3",
                             "--jobs", "2", "--json", "--plain"},
                            "out.jsonl");
    ASSERT_TRUE(WaitFor([&] {
        return Contains(test::ReadText(dir.File("S1")), "key 02ab b700") &&
               Contains(test::ReadText(dir.File("S2")), "key 02ab b700");
    })) << "both units wrote their record";
    // A write's answer takes 0.95 s after the device stored it, then the verify read another
    // 0.95 s: in the middle of that read the units are written, not verified.
    std::this_thread::sleep_for(std::chrono::milliseconds(1400));
    kill(cli, SIGINT);
    EXPECT_EQ(Wait(cli), 130);
    const std::string text = test::ReadText(Path("out.jsonl"));
    std::vector<Json> records;
    for (const std::string& line : Lines(text)) {
        if (line.starts_with("{")) {
            records.push_back(Json::parse(line));
        }
    }
    ASSERT_EQ(records.size(), 3u) << text;
    for (const char* name : {"S1", "S2"}) {
        const Json& unit = RecordOf(records, name);
        EXPECT_EQ(unit.at("result"), "interrupted");
        EXPECT_EQ(unit.at("stage"), "written") << unit;
        EXPECT_EQ(unit.at("kind"), "handset");
        EXPECT_EQ(unit.at("model"), "Veltra Plus");
        EXPECT_EQ(unit.at("firmware"), "3.04");
        ASSERT_EQ(unit.at("written").size(), 25u);
        EXPECT_EQ(unit.at("written")[0], 0xB700);
        EXPECT_EQ(unit.at("error"), "interrupted while verifying");
    }
    const Json& waiting = RecordOf(records, "S3");
    EXPECT_EQ(waiting.at("stage"), "untouched");
    EXPECT_TRUE(waiting.at("kind").is_null());
    EXPECT_EQ(waiting.at("result"), "interrupted");
}

TEST_F(LineTest, SeveralPortsListedAndNoneNamedIsAUsageError) {
    const std::string file = StealthFile();
    for (const char* name : {"C", "A", "B"}) {
        Create(name);
    }
    for (const std::string& command :
         {"program " + file, std::string("read"), std::string("restart")}) {
        const Outcome run = Cli(command);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_TRUE(Contains(run.output, "3 ports are listed: A B C;")) << run.output;
    }
    EXPECT_EQ(Flags("A"), 0xA700) << "nothing was programmed";
    EXPECT_EQ(Image("A").restarts, 0);
    std::filesystem::remove(dir.File("B"));
    std::filesystem::remove(dir.File("C"));
    EXPECT_EQ(Cli("program " + file).status, 0) << "one port listed: that one";
    EXPECT_EQ(Flags("A"), 0xB700);
}

TEST_F(LineTest, AnAbsentPortFailsAloneAndTheOthersAreProgrammed) {
    const std::string file = StealthFile();
    Create("VH");
    const Outcome run = Cli("program " + file + " --port VH --port NOPE --plain");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "NOPE: program FAILED (0.00 s): no such port")) << run.output;
    EXPECT_TRUE(Contains(run.output, "VH: program ok")) << run.output;
    EXPECT_TRUE(Contains(run.output, "program: 2 devices, 1 ok, 1 failed (NOPE)"));
    EXPECT_EQ(Flags("VH"), 0xB700);
    EXPECT_EQ(Cli("read --port NOPE").status, 1);
}

// A second station on ports the first holds fails those units and does not touch them.
TEST_F(LineTest, TwoStationsNeverProgramOneUnit) {
    const std::string stealth = StealthFile();
    Create("P1", "--kind handset --model veltra --delay 300");
    Create("P2", "--kind handset --model veltra --delay 300");
    const std::string plain = Path("plain.wpx");
    ASSERT_EQ(Cli("read --port P1 --save " + plain).status, 0);
    const pid_t first =
        Start({"program", stealth, "--port", "P1", "--port", "P2", "--no-verify", "--plain"},
              "first.txt");
    ASSERT_TRUE(WaitFor([&] { return ChildCount(first) == 2; }));
    const Outcome second = Cli("program " + plain + " --port P1 --port P2 --no-verify --plain");
    EXPECT_EQ(Wait(first), 0) << test::ReadText(Path("first.txt"));
    EXPECT_EQ(second.status, 1) << second.output;
    const std::string busy = "port busy (held by PID " + std::to_string(first) + ")";
    for (const std::string port : {"P1", "P2"}) {
        bool refused = false;
        for (const std::string& line : Lines(second.output)) {
            refused =
                refused || (line.starts_with(port + ": program FAILED (") && line.ends_with(busy));
        }
        EXPECT_TRUE(refused) << port << " is busy: " << second.output;
    }
    EXPECT_EQ(Flags("P1"), 0xB700) << "the first station's settings";
    EXPECT_EQ(Flags("P2"), 0xB700);
    EXPECT_EQ(Cli("program " + plain + " --port P1 --no-verify").status, 0) << "free again";
    EXPECT_EQ(Flags("P1"), 0xA700);
}

TEST_F(LineTest, StrictRefusesIncompleteFutureAndLenientFiles) {
    Create("H");
    const std::string full = StealthFile();
    const std::vector<std::string> lines = Lines(test::ReadText(full));
    ASSERT_EQ(lines.size(), 111u) << "9999, 9000 and 109 settings; no 1056";
    std::string cut;
    for (size_t i = 0; i < 50; ++i) {
        cut += lines[i] + "\n";  // the header and 48 settings
    }
    std::string future = test::ReadText(full);
    future.replace(future.find("9999=304"), 8, "9999=999");
    std::string lenient = test::ReadText(full);
    lenient.replace(lenient.find("0012=8"), 6, "0012=0x10");
    const std::pair<const char*, std::string> files[] = {
        {"three.wpx", "9999=304\r\n9000=3\r\n0004=1\r\n0005=1\r\n0006=1\r\n"},
        {"cut.wpx", cut},
        {"future.wpx", future},
        {"lenient.wpx", lenient},
    };
    const std::string before = test::ReadText(dir.File("H"));
    for (const auto& [name, text] : files) {
        std::ofstream(Path(name), std::ios::binary) << text;
        const Outcome strict = Cli("program " + Path(name) + " --port H --strict");
        EXPECT_EQ(strict.status, 1) << name << ": " << strict.output;
        EXPECT_TRUE(Contains(strict.output, "under --strict")) << strict.output;
        EXPECT_EQ(test::ReadText(dir.File("H")), before) << name;
    }
    Outcome run = Cli("program " + Path("three.wpx") + " --port H --strict");
    EXPECT_TRUE(Contains(run.output, "106 of the 109 settings entries are missing"));
    EXPECT_TRUE(Contains(run.output, "the entries 0001-0003, 0007-0054, 1001-1055 are missing"))
        << run.output;
    run = Cli("program " + Path("cut.wpx") + " --port H");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "61 of the 109 settings entries are missing")) << run.output;
    run = Cli("program " + Path("future.wpx") + " --port H");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "This file is from v999, newer than this program's v304"));
    run = Cli("program " + Path("lenient.wpx") + " --port H");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "0012 (AutoTurnOffTimerUpDown) = 0x10 read as 0"))
        << run.output;
}

TEST_F(LineTest, AShortRecordOrAnUnreadableVersionIsNotAGoodRead) {
    Create("SHORT");
    Append("SHORT", "key 02ab a700 0008\n");
    Outcome run = Split("read --port SHORT --json");
    EXPECT_EQ(run.status, 0) << run.output;
    Json unit = Json::parse(run.out);
    ASSERT_EQ(unit.at("warnings").size(), 1u) << unit;
    EXPECT_EQ(unit.at("warnings")[0],
              "the device's settings record holds 2 of its 25 words; the missing words read as 0");
    run = Split("read --port SHORT --json --strict --save " + Path("short.wpx"));
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(std::filesystem::exists(Path("short.wpx")));
    EXPECT_EQ(Cli("program " + StealthFile() + " --port SHORT --strict").status, 1);
    EXPECT_EQ(Image("SHORT").keys.at(PSKEY_USR33).size(), 2u) << "not programmed";

    Create("NOFW");
    Append("NOFW", "fail-read 02ad 9\n");
    run = Split("read --port NOFW --json");
    unit = Json::parse(run.out);
    EXPECT_EQ(unit.at("result"), "ok");
    EXPECT_TRUE(unit.at("firmware").is_null()) << unit;
    EXPECT_EQ(unit.at("warnings")[0], "the firmware version could not be read");
    run = Split("program " + StealthFile() + " --port NOFW --min-firmware 1.00 --json");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(Json::parse(run.out).at("error").get<std::string>(),
                         "firmware unknown); firmware 1.00 or newer is required"))
        << run.out;
    EXPECT_EQ(Flags("NOFW"), 0xA700);
}

TEST_F(LineTest, FailureLinesNameTheKeyAndHelpIsPlain) {
    Create("BAD");
    Append("BAD", "fail-write 02ab 3\n");
    const Outcome run = Cli("program " + StealthFile() + " --port BAD");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.output,
                         "ERROR: Fail to write Varnak Handset settings. (PS key 0x02AB, 3 tries)"))
        << run.output;
    const Outcome help = Cli("program --help");
    EXPECT_FALSE(Contains(help.output, "{false}")) << help.output;
    EXPECT_TRUE(Contains(help.output, "--no-verify"));
    EXPECT_TRUE(Contains(help.output, "except the remote find-me check box"));
    for (const char* command : {"read", "program", "restart"}) {
        const std::string text = Cli(std::string(command) + " --help").output;
        EXPECT_TRUE(Contains(text, "130 interrupted")) << text;
        EXPECT_EQ(text.find("Exit status:"), text.rfind("Exit status:")) << "one list of codes";
        for (const char* option : {"--port", "--log", "--timeout", "--jobs", "--json"}) {
            const size_t at = text.find(option);
            ASSERT_NE(at, std::string::npos) << option;
            EXPECT_LT(text.find("default:", at), text.find("\n  -", at + 1))
                << option << " states its default: " << text;
        }
    }
    EXPECT_TRUE(Contains(Cli("ports --help").output, "Exit status: 0 the ports were listed"));
}

TEST_F(LineTest, GatesFailAUnitUntouched) {
    const std::string file = StealthFile();
    Create("HS");
    Create("GW", "--kind gateway --model veltra --firmware 3.12");
    const std::string gwBefore = test::ReadText(dir.File("GW"));
    Outcome run = Split("program " + file + " --port HS --port GW --expect handset --json");
    EXPECT_EQ(run.status, 1);
    std::vector<Json> records = Records(run.out);
    EXPECT_EQ(RecordOf(records, "HS").at("result"), "ok");
    EXPECT_EQ(RecordOf(records, "GW").at("error"),
              "The device is a gateway (Veltra Plus, firmware 3.12), not a handset as expected "
              "(--expect); it was not programmed.");
    EXPECT_EQ(test::ReadText(dir.File("GW")), gwBefore);
    run = Split("program " + file + " --port HS --port GW --min-firmware 3.10 --json");
    records = Records(run.out);
    EXPECT_EQ(RecordOf(records, "GW").at("result"), "ok");
    EXPECT_EQ(RecordOf(records, "HS").at("error"),
              "The device is a handset (Veltra Plus, firmware 3.04); firmware 3.10 or newer is "
              "required (--min-firmware); it was not programmed.");
    EXPECT_EQ(Cli("program " + file + " --port HS --min-firmware 3.1").status, 2);
}

TEST_F(LineTest, ADryRunPrintsTheChangesAndWritesNothing) {
    const std::string file = StealthFile();
    Create("H");
    const std::string before = test::ReadText(dir.File("H"));
    Outcome run = Cli("program " + file + " --port H --dry-run --reset");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "would change word 0 (flags) A700 -> B700")) << run.output;
    EXPECT_EQ(test::ReadText(dir.File("H")), before);
    run = Split("program " + file + " --port H --dry-run --json");
    const Json unit = Json::parse(run.out);
    EXPECT_EQ(unit.at("dryRun"), true);
    EXPECT_EQ(unit.at("operation"), "program");
    EXPECT_EQ(unit.at("changes"),
              Json::parse(R"([{"word":0,"name":"flags","from":42752,"to":46848}])"));
    EXPECT_EQ(Cli("program " + file + " --port H").status, 0);
    EXPECT_TRUE(
        Contains(Cli("program " + file + " --port H --dry-run").output, "nothing would change"));
    Create("G", "--kind gateway --model kordo");
    EXPECT_EQ(Cli("program " + file + " --port G --dry-run").status, 1) << "the model check holds";
}

TEST_F(LineTest, JobsLimitsTheUnitsAtOnce) {
    const std::string file = StealthFile();
    std::vector<std::string> names;
    for (int i = 0; i < 5; ++i) {
        names.push_back("J" + std::to_string(i));
        Create(names.back(), "--kind handset --model veltra --delay 100");
    }
    std::vector<std::string> args = {"program", file, "--jobs", "2", "--plain"};
    for (const std::string& name : names) {
        args.insert(args.end(), {"--port", name});
    }
    const pid_t cli = Start(args, "out.txt");
    int most = 0;
    int status = 0;
    while (waitpid(cli, &status, WNOHANG) == 0) {
        most = std::max(most, ChildCount(cli));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(test::ExitCode(status), 0) << test::ReadText(Path("out.txt"));
    EXPECT_EQ(most, 2);
    for (const std::string& name : names) {
        EXPECT_EQ(Flags(name), 0xB700) << name;
    }
    // The count is decimal: a leading zero makes no octal number of it.
    const Outcome leadingZero = Cli("program " + file + " --jobs 08 --port J0 --plain");
    EXPECT_EQ(leadingZero.status, 0) << leadingZero.output;
}

// Every kind of record a run makes, refused ones included, matches the schema kept with the
// station library.
TEST_F(LineTest, RecordsMatchTheirSchema) {
    const std::string file = StealthFile();
    Create("OK");
    Create("BAD");
    Append("BAD", "fail-write 02ab 3\n");
    Create("GW", "--kind gateway --model kordo");
    const std::string log = Path("units.jsonl");
    Cli("program " + file + " --port OK --port BAD --port GW --port NOPE --log " + log +
        " --station line-7");
    Cli("program " + file + " --port OK --dry-run --log " + log);
    Cli("read --port OK --port GW --save " + Path("{port}.wpx") + " --log " + log);
    Cli("restart --port OK --log " + log);
    Cli("program " + Path("missing.wpx") + " --port OK --log " + log);
    // A watch for units yet to come records its refused file once, without a port.
    const Outcome watch = Cli("program " + Path("missing.wpx") + " --watch --log " + log);
    EXPECT_EQ(watch.status, 1) << watch.output;
    const std::vector<Json> records = Records(test::ReadText(log));
    ASSERT_EQ(records.size(), 10u) << test::ReadText(log);
    std::set<std::string> ids;
    for (const Json& record : records) {
        ids.insert(record.at("id").get<std::string>());
    }
    EXPECT_EQ(ids.size(), records.size()) << "one id per unit operation";
    EXPECT_EQ(records[0].at("station"), "line-7");
    EXPECT_EQ(records[8].at("stage"), "untouched");
    EXPECT_TRUE(records[8].at("settingsSha256").is_null());
    EXPECT_EQ(records[8].at("port"), "OK");
    EXPECT_TRUE(records.back().at("port").is_null());
    EXPECT_EQ(records.back().at("result"), "failed");
    EXPECT_EQ(RecordOf(records, "BAD").at("retries"), (Json{{"02ab", 3}}));
    const Outcome check =
        test::Run(std::string("python3 ") + RECORD_SCHEMA_CHECK + " " + RECORD_SCHEMA + " " + log);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(Contains(check.output, "10 records match")) << check.output;
    // The checker finds what does not match.
    std::ofstream(Path("bad.jsonl")) << R"({"id":"x"})"
                                     << "\n";
    EXPECT_EQ(test::Run(std::string("python3 ") + RECORD_SCHEMA_CHECK + " " + RECORD_SCHEMA + " " +
                        Path("bad.jsonl"))
                  .status,
              1);
}

// | head -1: the printing stops, the work does not.
TEST_F(LineTest, AClosedOutputStopsThePrintingNotTheWork) {
    const std::string file = StealthFile();
    for (int i = 0; i < 6; ++i) {
        Create("C" + std::to_string(i), "--kind handset --model veltra --delay 50");
    }
    const std::string log = Path("units.jsonl");
    const Outcome run = test::Run("bash -c '" + std::string(HALYARD_CLI) + " program " + file +
                                  " --all --reset --plain --log " + log +
                                  " | head -1 >/dev/null; echo status=${PIPESTATUS[0]}'");
    EXPECT_TRUE(Contains(run.output, "status=1")) << run.output;
    EXPECT_EQ(Lines(test::ReadText(log)).size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Image("C" + std::to_string(i)).restarts, 1);
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        EXPECT_FALSE(Contains(entry.path().filename().string(), ".tmp")) << entry.path();
    }
}

// A log on a full disk holds whole lines only, and takes the next run's lines soundly.
TEST_F(LineTest, AFullDiskLeavesTheLogWhole) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    const std::filesystem::path disk = dir.path / "disk";
    std::filesystem::create_directory(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    const std::string file = StealthFile();
    Create("A");
    const std::string log = (disk / "units.jsonl").string();
    // An earlier line fills most of the log's first page; the rest of the disk is full, so the
    // next record fits only in part.
    const std::string earlier = "{\"earlier\":\"" + std::string(3000, 'x') + "\"}\n";
    std::ofstream(log, std::ios::binary) << earlier;
    std::ofstream(disk / "filler", std::ios::binary) << std::string(128 * 1024, 'x');
    const Outcome full = Cli("program " + file + " --port A --log " + log);
    EXPECT_EQ(full.status, 1) << full.output;
    EXPECT_TRUE(Contains(full.output, "cannot append to the log")) << full.output;
    EXPECT_EQ(Flags("A"), 0xB700) << "the unit was programmed all the same";
    EXPECT_EQ(test::ReadText(log), earlier) << "the part written was cut back";
    std::filesystem::remove(disk / "filler");
    EXPECT_EQ(Cli("program " + file + " --port A --log " + log).status, 0);
    const std::vector<std::string> lines = Lines(test::ReadText(log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Json::parse(lines[1]).at("port"), "A");
    umount2(disk.c_str(), MNT_DETACH);
}

size_t LineCount(const std::string& path) {
    return Lines(test::ReadText(path)).size();
}

// Watch mode on 16 units plugged in and out, a hung and a crashing one among them, with a second
// station watching the same ports.
TEST_F(LineTest, WatchServesEachUnitOnceEveryTimeItIsPluggedIn) {
    const std::string file = StealthFile();
    std::vector<std::string> names;
    for (int i = 0; i < 14; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "W%02d", i);
        names.push_back(name);
        Create(name, "--kind handset --model veltra --delay 100");
    }
    names.push_back("HANG");
    Create("HANG");
    Append("HANG", "hang\n");
    names.push_back("DIES");
    Create("DIES");
    Append("DIES", "crash\n");
    for (const std::string& name : names) {
        ASSERT_EQ(test::Device("unplug " + name).status, 0);
    }
    ASSERT_EQ(Cli("ports").output, "\\\\.\\MVT0\t\\\\.\\MVT0\n")
        << "unplugged units are not listed";
    const std::string logA = Path("a.jsonl");
    const std::string logB = Path("b.jsonl");
    const pid_t a = Start(
        {"program", file, "--watch", "--timeout", "8", "--plain", "--log", logA, "--station", "A"},
        "a.txt");
    const pid_t b = Start(
        {"program", file, "--watch", "--timeout", "8", "--plain", "--log", logB, "--station", "B"},
        "b.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (const std::string& name : names) {
        ASSERT_EQ(test::Device("plug " + name).status, 0);
    }
    ASSERT_TRUE(WaitFor([&] { return LineCount(logA) + LineCount(logB) >= 32; }))
        << test::ReadText(logA) << test::ReadText(logB);
    // Unplugged and plugged back in, four units are served again; the others are not.
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(test::Device("unplug " + names[static_cast<size_t>(i)]).status, 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(test::Device("plug " + names[static_cast<size_t>(i)]).status, 0);
    }
    ASSERT_TRUE(WaitFor([&] { return LineCount(logA) + LineCount(logB) >= 40; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    kill(a, SIGINT);
    kill(b, SIGINT);
    EXPECT_EQ(Wait(a), 1) << "the hung and the crashing unit failed";
    EXPECT_EQ(Wait(b), 1);
    std::map<std::string, std::vector<Json>> byPort;
    for (const std::string& log : {logA, logB}) {
        for (const Json& record : Records(test::ReadText(log))) {
            byPort[record.at("port")].push_back(record);
        }
    }
    ASSERT_EQ(byPort.size(), 16u);
    for (const auto& [port, records] : byPort) {
        const bool replugged = port.starts_with("W") && port < "W04";
        EXPECT_EQ(records.size(), replugged ? 4u : 2u) << port << ": each station once a plug";
        int ok = 0;
        for (const Json& record : records) {
            const std::string error = record.at("error").is_string() ? record.at("error") : "";
            if (record.at("result") == "ok") {
                ++ok;
            } else if (!error.starts_with("port busy (held by PID ")) {
                EXPECT_TRUE(port == "HANG" || port == "DIES") << record;
            }
        }
        if (port == "HANG") {
            EXPECT_TRUE(Contains(records[0].dump() + records[1].dump(),
                                 "timed out after 8 s while connecting"));
        } else if (port != "DIES") {
            EXPECT_GE(ok, replugged ? 2 : 1) << port;
            EXPECT_EQ(Flags(port), 0xB700);
        }
    }
    const std::string output = test::ReadText(Path("a.txt"));
    EXPECT_TRUE(Contains(output, "program: 20 devices")) << output;
    EXPECT_TRUE(Contains(output, "PORT       RESULT")) << "the closing table";
}

// The first Ctrl-C stops taking units and lets those in progress finish; a second interrupts.
TEST_F(LineTest, WatchStopsGently) {
    const std::string file = StealthFile();
    Create("SLOW", "--kind handset --model veltra --delay 500");
    const std::string log = Path("units.jsonl");
    pid_t cli = Start({"program", file, "--watch", "--plain", "--log", log}, "out.txt");
    ASSERT_TRUE(WaitFor([&] { return ChildCount(cli) == 1; }));
    kill(cli, SIGINT);
    EXPECT_EQ(Wait(cli), 0) << test::ReadText(Path("out.txt"));
    ASSERT_EQ(LineCount(log), 1u);
    EXPECT_EQ(Json::parse(test::ReadText(log)).at("result"), "ok");

    std::filesystem::remove(log);
    cli = Start({"program", file, "--watch", "--plain", "--log", log}, "out.txt");
    ASSERT_TRUE(WaitFor([&] { return ChildCount(cli) == 1; }));
    kill(cli, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(cli, SIGINT);
    EXPECT_EQ(Wait(cli), 130);
    EXPECT_EQ(Json::parse(test::ReadText(log)).at("result"), "interrupted");
}

// On a terminal the units are one line each, redrawn in place; elsewhere the lines come plain.
TEST_F(LineTest, TheLiveDisplayRedrawsOnATerminalAndPlainLinesElsewhere) {
    const std::string file = StealthFile();
    for (const char* name : {"D1", "D2", "D3"}) {
        Create(name, "--kind handset --model veltra --delay 200");
    }
    const auto onTerminal = [&](const std::string& extra) {
        int master = -1;
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 120;
        const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) {
            execl(HALYARD_CLI, HALYARD_CLI, "program", file.c_str(), "--port", "D1", "--port", "D2",
                  "--port", "D3", extra.empty() ? nullptr : extra.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string screen;
        char buffer[4096];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0) {
                break;
            }
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;  // EIO once the program has ended
            }
            screen.append(buffer, static_cast<size_t>(n));
        }
        close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(test::ExitCode(status), 0) << screen;
        return screen;
    };
    const std::string live = onTerminal("");
    EXPECT_TRUE(Contains(live, "PORT       KIND     MODEL       FW      STAGE")) << live;
    EXPECT_TRUE(Contains(live, "\x1b[5F\x1b[2K")) << "heading, three units, counters redrawn";
    EXPECT_TRUE(Contains(live, "D2         handset  Veltra Plus 3.04    verified"));
    EXPECT_TRUE(Contains(live, "ok 3  failed 0  in progress 0  yield 100%"));
    EXPECT_TRUE(Contains(live, "in progress 3")) << "every unit is shown from its start";
    EXPECT_FALSE(Contains(live, "| HS: V3.04")) << "no unit lines under the display";
    EXPECT_TRUE(Contains(live, "program: 3 devices, 3 ok"));

    const std::string plainOnTerminal = onTerminal("--plain");
    EXPECT_FALSE(Contains(plainOnTerminal, "\x1b[")) << plainOnTerminal;
    EXPECT_TRUE(Contains(plainOnTerminal, "D1: <"));

    const Outcome piped = Split("program " + file + Ports({"D1", "D2", "D3"}));
    EXPECT_EQ(piped.status, 0);
    EXPECT_FALSE(Contains(piped.output, "\x1b["));
    EXPECT_TRUE(Contains(piped.out, "D3: program ok ("));
    EXPECT_TRUE(Contains(piped.out, "\nPORT       RESULT      SECONDS REASON\n"));
    EXPECT_TRUE(Contains(piped.out, "\nD1         ok          ")) << piped.out;
}

}  // namespace
}  // namespace halyard
