// halyard-cli as a production-line station: exit codes, strict settings files, verify, many
// ports at once, JSON and the unit log, run as a program on a private device folder.
#include <gtest/gtest.h>
#include <halyard/records.h>
#include <signal.h>
#include <unistd.h>
#include <velorum/devicefile.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "programs.h"
#include "stationfixture.h"
#include "support.h"

namespace halyard {
namespace {

using test::Cli;
using test::Device;
using test::Outcome;
using varnak::sim::DeviceImage;
using Json = nlohmann::json;

constexpr const char* kExitStatusLine =
    "Exit status: 0 success, 1 the operation failed, 2 usage error, 130 interrupted.\n";

TEST_F(StationTest, ExitCodesScriptsCanTrust) {
    Create("A");
    Create("B");
    for (const char* usage :
         {"", "frobnicate", "program", "read --bogus", "read", "read --port A --port A",
          "read --all --port A", "read --port A --port B --save x.wpx", "restart --port"}) {
        const Outcome run = Cli(usage);
        EXPECT_EQ(run.status, 2) << "'" << usage << "': " << run.output;
    }
    const Outcome help = Cli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.output.ends_with(kExitStatusLine)) << help.output;
    const Outcome programHelp = Cli("program --help");
    EXPECT_EQ(programHelp.status, 0);
    EXPECT_TRUE(programHelp.output.ends_with(
        "Exit status: 0 every unit ok, 1 a unit failed, was refused or its record could not be "
        "stored (or the output was closed), 2 usage error, 130 interrupted.\n"))
        << programHelp.output;
    EXPECT_TRUE(Contains(programHelp.output, "--no-verify"));
    EXPECT_EQ(Cli("--version").status, 0);
    EXPECT_EQ(Cli("restart --port A").status, 0);
    Append("A", "silent\n");
    EXPECT_EQ(Cli("restart --port A").status, 1);

    for (const char* usage :
         {"create ../escape --kind handset --model veltra",
          "create X --kind toaster --model veltra", "create X --kind handset",
          "create X --kind handset --model veltra --firmware 3.4", "", "show"}) {
        const Outcome run = Device(usage);
        EXPECT_EQ(run.status, 2) << "'" << usage << "': " << run.output;
    }
    EXPECT_TRUE(Device("--help").output.ends_with(kExitStatusLine));
    EXPECT_EQ(Device("show MISSING").status, 1);
    EXPECT_EQ(Device("create A --kind handset --model veltra").status, 1) << "exists already";
}

TEST_F(StationTest, FilesThatLoadNothingOrStopAreRefusedBeforeAnyDevice) {
    Create("H");
    const std::string before = test::ReadText(dir.File("H"));
    std::filesystem::create_directory(dir.path / "folder.wpx");
    static constexpr char kGarbage[] =
        "\x7f"
        "ELF\x02\x01\x01\0\0\0\0\xff\xfe";
    const std::pair<const char*, std::string> files[] = {
        {"empty.wpx", ""},
        {"garbage.wpx", std::string(kGarbage, sizeof kGarbage - 1)},
        {"other.ini", "[Setting]\nProgramVersion=v3.04E\n"},
        {"stopped.wpx", "9999=304\r\n0004=1\r\n9000=1\r\n0005=1\r\n"},
    };
    for (const auto& [name, text] : files) {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    for (const char* name :
         {"empty.wpx", "garbage.wpx", "other.ini", "stopped.wpx", "folder.wpx", "missing.wpx"}) {
        const Outcome run = Cli("program " + Path(name) + " --port H --reset");
        EXPECT_EQ(run.status, 1) << name << ": " << run.output;
        EXPECT_TRUE(Contains(run.output, Path(name)))
            << "the message names the file: " << run.output;
        EXPECT_TRUE(Contains(run.output, "H: program FAILED (0.00 s): ")) << "recorded refused";
        EXPECT_FALSE(Contains(run.output, "H: program ok")) << "no device was programmed";
    }
    EXPECT_TRUE(Contains(Cli("program " + Path("stopped.wpx") + " --port H").output,
                         "This file not for Plus series models."));
    EXPECT_TRUE(Contains(Cli("program " + Path("missing.wpx") + " --port H").output,
                         "The file could not be opened (No such file or directory)"));
    // An empty file opens; it is refused for holding no settings.
    EXPECT_TRUE(Contains(Cli("program " + Path("empty.wpx") + " --port H").output,
                         "no settings could be loaded from it"));
    EXPECT_EQ(test::ReadText(dir.File("H")), before) << "the device was not touched";
}

TEST_F(StationTest, WarningsArePrintedAndStrictMakesThemFailures) {
    Create("H");
    const std::string before = test::ReadText(dir.File("H"));
    const std::string old = Path("old.wpx");
    std::ofstream(old, std::ios::binary) << "0004=1\r\n";  // no version entry: from v2
    Outcome run = Cli("program " + old + " --port H --strict");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, old + ": Warning: This file is from v2 and some newer "
                                           "features may not be updated correctly."))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "refusing " + old + " under --strict: 2 warning(s)"))
        << "the version and the 108 missing entries: " << run.output;
    EXPECT_EQ(test::ReadText(dir.File("H")), before);

    run = Cli("program " + old + " --port H");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "Warning: This file is from v2"));
    EXPECT_EQ(Image("H").keys.at(PSKEY_USR33)[HS_FLAGS], 0xB700);

    const std::string odd = Path("odd.wpx");
    std::ofstream(odd, std::ios::binary) << "9999=304\r\n0005=1\r\n0011=9\r\n";
    run = Cli("program " + odd + " --port H --strict");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.output, "line 3: 0011 (HirosePin2FunctionComboBox) = 9 taken as 0"))
        << run.output;
    EXPECT_EQ(Cli("program " + odd + " --port H").status, 0);
}

TEST_F(StationTest, ProgrammingIsVerifiedUnlessTurnedOff) {
    const std::string file = StealthFile();
    Create("H");
    Append("H", "lose-write 02ab 2\n");
    Outcome run = Cli("program " + file + " --port H --reset");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Contains(run.output,
                         "ERROR: Verify failed: the device does not hold the "
                         "settings written: word 0 (flags) reads A700, written B700."))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "H: program FAILED"));
    EXPECT_FALSE(Contains(run.output, "Reset device?"));
    EXPECT_EQ(Image("H").restarts, 0);

    run = Cli("program " + file + " --port H --no-verify");
    EXPECT_EQ(run.status, 0) << "nothing compares what the device kept: " << run.output;
    EXPECT_EQ(Image("H").keys.at(PSKEY_USR33)[HS_FLAGS], 0xA700);
    run = Cli("program " + file + " --port H --verify");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "| Check - B700 "));
    EXPECT_EQ(Image("H").keys.at(PSKEY_USR33)[HS_FLAGS], 0xB700);
}

TEST_F(StationTest, SixteenDevicesAreProgrammedAtOnce) {
    const std::string file = StealthFile();
    std::vector<std::string> names;
    for (int i = 1; i <= 16; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "H%02d", i);
        names.push_back(name);
        Create(name, i % 2 ? "--kind handset --model veltra" : "--kind gateway --model veltra");
    }
    const Outcome run = Cli("program " + file + Ports(names) + " --reset");
    ASSERT_EQ(run.status, 0) << run.output;
    std::vector<std::string> lines = Lines(run.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "program: 16 devices, 16 ok");
    // The closing table after a blank line: a heading and a row per unit.
    const auto blank = std::find(lines.begin(), lines.end(), "");
    ASSERT_EQ(lines.end() - blank, 1 + 1 + 16 + 1);
    EXPECT_TRUE(blank[2].starts_with("H01        ok          ")) << blank[2];
    lines.erase(blank, lines.end());
    std::set<std::string> finished;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string port = lines[i].substr(0, 3);
        EXPECT_TRUE(std::find(names.begin(), names.end(), port) != names.end() &&
                    lines[i].substr(3, 2) == ": ")
            << "every line carries its port: " << lines[i];
        if (lines[i].find(": program ok (") == 3) {
            finished.insert(port);
        }
    }
    EXPECT_EQ(finished.size(), 16u);
    for (size_t i = 0; i < names.size(); ++i) {
        const DeviceImage image = Image(names[i]);
        EXPECT_EQ(image.restarts, 1) << names[i];
        if (i % 2 == 0) {
            EXPECT_EQ(image.keys.at(PSKEY_USR33)[HS_FLAGS], 0xB700) << names[i];
        } else {
            // A handset's file goes to a gateway as its gateway settings: the defaults.
            std::vector<uint16_t> expected = test::kVeltraGatewayRecord;
            expected[GW_FLAGS] |= kGatewayVeltraBit;
            EXPECT_EQ(image.keys.at(PSKEY_USR32), expected) << names[i];
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(entry.path().extension() == ".vdev" || name.ends_with(".vdev.lock") ||
                    name == "stealth.wpx" || name.ends_with(".txt"))
            << "left behind: " << name;
    }
}

TEST_F(StationTest, EachDeviceFailsOnItsOwnAndACrashIsReported) {
    const std::string file = StealthFile();
    Create("OK1");
    Create("BAD");
    Append("BAD", "fail-write 02ab 3\n");
    Create("DIES");
    Append("DIES", "crash\n");
    Create("OK2");
    const Outcome run = Cli("program " + file + Ports({"OK1", "BAD", "DIES", "OK2"}));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "BAD: program FAILED")) << run.output;
    EXPECT_TRUE(Contains(run.output, "BAD: ERROR: Fail to write Varnak Handset settings."));
    EXPECT_TRUE(Contains(run.output, "DIES: program FAILED"));
    EXPECT_TRUE(Contains(run.output, "the device's process crashed (signal 6"));
    EXPECT_TRUE(Contains(run.output, "program: 4 devices, 2 ok, 2 failed ("));
    EXPECT_EQ(Image("OK1").keys.at(PSKEY_USR33)[HS_FLAGS], 0xB700);
    EXPECT_EQ(Image("OK2").keys.at(PSKEY_USR33)[HS_FLAGS], 0xB700);
    EXPECT_EQ(Image("BAD").keys.at(PSKEY_USR33)[HS_FLAGS], 0xA700);
}

// Ctrl-C stops every device's process; nothing is left running to write to a device later.
TEST_F(StationTest, AnInterruptStopsEveryDevice) {
    const std::string file = StealthFile();
    for (const char* name : {"S1", "S2", "S3"}) {
        Create(name, "--kind handset --model veltra --delay 1000");
    }
    const std::string before = test::ReadText(dir.File("S1"));
    const std::string output = Path("interrupted.txt");
    const pid_t cli = fork();
    if (cli == 0) {
        freopen(output.c_str(), "w", stdout);
        dup2(fileno(stdout), 2);
        execl(HALYARD_CLI, HALYARD_CLI, "program", file.c_str(), "--port", "S1", "--port", "S2",
              "--port", "S3", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Interrupted once every device is being served by its own process.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ChildCount(cli) < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ChildCount(cli), 3);
    kill(cli, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(cli, &status, 0), cli);
    EXPECT_EQ(test::ExitCode(status), 130);
    const std::string text = test::ReadText(output);
    for (const char* name : {"S1", "S2", "S3"}) {
        EXPECT_TRUE(Contains(text, std::string(name) + ": program INTERRUPTED")) << text;
    }
    EXPECT_TRUE(Contains(text, "program: 3 devices, 0 ok, 3 interrupted")) << text;
    // No process of the run is left: every one of them has the file on its command line.
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string cmdline = test::ReadText(entry.path() / "cmdline");
        EXPECT_FALSE(Contains(cmdline, file)) << "still running: " << entry.path();
    }
    EXPECT_EQ(test::ReadText(dir.File("S1")), before);
}

TEST_F(StationTest, ReadAndRestartTakeSeveralPorts) {
    Create("A");
    Create("G", "--kind gateway --model kordo");
    const Outcome read = Cli("read --port A --port G --save " + Path("{port}.wpx"));
    ASSERT_EQ(read.status, 0) << read.output;
    EXPECT_TRUE(Contains(read.output, "A: NOTE: Success to read Varnak Handset settings."));
    EXPECT_TRUE(Contains(read.output, "G: NOTE: Success to read Varnak Gateway settings."));
    EXPECT_TRUE(Contains(read.output, "G: saved " + Path("G.wpx")));
    EXPECT_TRUE(Contains(test::ReadText(Path("A.wpx")), "9000=3\r\n"));
    EXPECT_TRUE(Contains(test::ReadText(Path("G.wpx")), "9000=2\r\n"));
    const Outcome restart = Cli("restart --port A --port G");
    EXPECT_EQ(restart.status, 0) << restart.output;
    EXPECT_TRUE(Contains(restart.output, "restart: 2 devices, 2 ok"));
    EXPECT_EQ(Image("A").restarts, 1);
    EXPECT_EQ(Image("G").restarts, 1);
}

TEST_F(StationTest, EveryListedPortIsReachedNotOnlyTheWindowsTwelve) {
    for (int i = 1; i <= 14; ++i) {
        Create("P" + std::to_string(100 + i));
    }
    const Outcome ports = Cli("ports");
    EXPECT_EQ(Lines(ports.output).size(), 15u) << ports.output;
    EXPECT_TRUE(Contains(ports.output, "P114\tSIM:P114\n"));
    EXPECT_EQ(Cli("restart --port P114").status, 0);
    const Outcome all = Cli("restart --all");
    EXPECT_EQ(all.status, 0) << all.output;
    EXPECT_TRUE(Contains(all.output, "restart: 14 devices, 14 ok"));
    EXPECT_EQ(Image("P114").restarts, 2);
    EXPECT_EQ(Image("P101").restarts, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.File("MVT0"))) << "--all leaves the USB device be";

    for (int i = 1; i <= 14; ++i) {
        std::filesystem::remove(dir.File("P" + std::to_string(100 + i)));
    }
    EXPECT_EQ(Cli("restart --all").status, 1) << "no programming port is listed";
}

TEST_F(StationTest, JsonGivesOneObjectPerDevice) {
    const std::string file = StealthFile();
    Create("A");
    Create("B", "--kind handset --model veltra --firmware 3.12");
    Outcome run = Split("program " + file + " --port A --port B --reset --json");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    std::set<std::string> ports;
    for (const std::string& line : lines) {
        const Json unit = Json::parse(line);
        ports.insert(unit.at("port").get<std::string>());
        EXPECT_EQ(unit.at("operation"), "program");
        EXPECT_EQ(unit.at("result"), "ok");
        EXPECT_TRUE(unit.at("error").is_null());
        EXPECT_EQ(unit.at("kind"), "handset");
        EXPECT_EQ(unit.at("model"), "Veltra Plus");
        EXPECT_EQ(unit.at("firmware"), unit.at("port") == "B" ? "3.12" : "3.04");
        ASSERT_EQ(unit.at("written").size(), 25u);
        EXPECT_EQ(unit.at("written")[0], 0xB700);
        EXPECT_EQ(unit.at("readBack"), unit.at("written"));
        EXPECT_EQ(unit.at("read")[0], 0xA700);
        EXPECT_EQ(unit.at("reset"), true);
        const Json& question = unit.at("messages").back();
        EXPECT_EQ(question.at("caption"), "NOTE");
        EXPECT_EQ(question.at("text"), "Success writing Varnak Handset settings.\nReset device?");
        EXPECT_EQ(question.at("answer"), "Yes");
        EXPECT_GE(unit.at("seconds").get<double>(), 0.0);
    }
    EXPECT_EQ(ports, (std::set<std::string>{"A", "B"}));
    EXPECT_TRUE(Contains(run.err, "program: 2 devices, 2 ok")) << "the summary is no device";

    run = Split("read --port A --json");
    ASSERT_EQ(Lines(run.out).size(), 1u) << run.out;
    EXPECT_EQ(Json::parse(run.out).at("read").size(), 25u);
    EXPECT_EQ(Json::parse(run.out).at("messages")[0].at("text"),
              "Success to read Varnak Handset settings.");

    Append("B", "silent\n");
    run = Split("restart --port B --json");
    EXPECT_EQ(run.status, 1);
    const Json failed = Json::parse(run.out);
    EXPECT_EQ(failed.at("result"), "failed");
    EXPECT_EQ(failed.at("error"),
              "Varnak not detected. Check cables and ensure Varnak is in programming mode.");
    EXPECT_TRUE(failed.at("kind").is_null());

    run = Split("ports --json");
    ASSERT_EQ(Lines(run.out).size(), 3u);
    EXPECT_EQ(Json::parse(Lines(run.out)[0]), (Json{{"port", "A"}, {"connection", "SIM:A"}}));
}

TEST_F(StationTest, TheUnitLogTakesLinesFromConcurrentRuns) {
    const std::string file = StealthFile();
    std::vector<std::string> first, second;
    for (int i = 0; i < 4; ++i) {
        first.push_back("L" + std::to_string(i));
        second.push_back("M" + std::to_string(i));
        Create(first.back());
        Create(second.back(), "--kind handset --model kordo");
    }
    const std::string log = Path("units.jsonl");
    std::ofstream(log) << "{\"earlier\":true}\n";
    const std::string cli = std::string(HALYARD_CLI) + " program " + file + " --log " + log;
    test::Run("(" + cli + Ports(first) + " >/dev/null & " + cli + Ports(second) +
              " >/dev/null & wait)");
    const std::vector<std::string> lines = Lines(test::ReadText(log));
    ASSERT_EQ(lines.size(), 9u) << test::ReadText(log);
    EXPECT_EQ(lines[0], "{\"earlier\":true}");
    std::set<std::string> ports;
    for (size_t i = 1; i < lines.size(); ++i) {
        const Json entry = Json::parse(lines[i]);
        ports.insert(entry.at("port").get<std::string>());
        EXPECT_EQ(entry.at("start").get<std::string>().size(), 24u) << lines[i];
        EXPECT_EQ(entry.at("operation"), "program");
        EXPECT_EQ(entry.at("kind"), "handset");
        EXPECT_EQ(entry.at("firmware"), "3.04");
        const bool veltra = entry.at("port").get<std::string>()[0] == 'L';
        EXPECT_EQ(entry.at("model"), veltra ? "Veltra Plus" : "Kordo Plus");
        // The Veltra Plus file does not fit the Kordo Plus handsets.
        EXPECT_EQ(entry.at("result"), veltra ? "ok" : "failed");
    }
    EXPECT_EQ(ports.size(), 8u);
    EXPECT_EQ(Cli("restart --port L0 --log " + Path("no/such/folder/log")).status, 1);
}

// Twelve programs of one device at the same time: each programs it or finds the port busy
// and leaves it be; none of the restarts of those that programmed it is lost.
TEST_F(StationTest, ConcurrentProgramsOfOneDeviceLoseNoUpdate) {
    const std::string file = StealthFile();
    Create("ONE");
    std::string command = "(";
    for (int i = 0; i < 12; ++i) {
        command += std::string(HALYARD_CLI) + " program " + file + " --port ONE --reset " +
                   "| grep -q 'port busy (held by PID' && echo busy & ";
    }
    const Outcome run = test::Run(command + "wait)");
    const int busy = static_cast<int>(Lines(run.output).size());
    EXPECT_LT(busy, 12) << run.output;
    EXPECT_EQ(Image("ONE").restarts, 12 - busy);
}

// A factory-new simulated device holds a record the programmer gives back unchanged.
TEST_F(StationTest, FactoryDevicesSurviveReadSaveProgram) {
    for (const char* kind : {"handset", "gateway"}) {
        for (const char* model : {"veltra", "kordo"}) {
            const std::string name = std::string(kind) + "_" + model;
            Create(name, std::string("--kind ") + kind + " --model " + model);
            const DeviceImage factory = Image(name);
            const std::string file = Path(name + ".wpx");
            ASSERT_EQ(Cli("read --port " + name + " --save " + file).status, 0);
            const Outcome run = Cli("program " + file + " --port " + name);
            ASSERT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(Image(name), factory) << name;
        }
    }
    EXPECT_EQ(Image("gateway_kordo").keys.at(PSKEY_USR32)[GW_FLAGS], 0x2000);
}

#ifdef HALYARD
TEST_F(StationTest, TheWindowAnswersHelpAndVersionWithoutADisplay) {
    const std::string halyard =
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + HALYARD;
    Outcome run = test::Run(halyard + " --help");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "--screenshot <FILE>")) << run.output;
    run = test::Run(halyard + " --version");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "halyard 3.04E\n");
    EXPECT_EQ(test::Run(halyard + " --help --no-such-option").status, 2);
}
#endif

}  // namespace
}  // namespace halyard
