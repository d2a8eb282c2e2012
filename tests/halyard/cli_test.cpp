// halyard-cli and varnak-device, run as programs on a private device folder.
#include <gtest/gtest.h>
#include <halyard/records.h>
#include <velorum/devicefile.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "programs.h"
#include "support.h"

namespace {

using halyard::test::Cli;
using halyard::test::Device;
using halyard::test::Outcome;

class CliTest : public ::testing::Test {
  protected:
    varnak::sim::DeviceImage Image(const std::string& name) {
        varnak::sim::DeviceImage image;
        EXPECT_TRUE(varnak::sim::LoadDevice(dir.File(name), image, nullptr));
        return image;
    }
    std::string Path(const std::string& name) const { return (dir.path / name).string(); }

    halyard::test::TempDeviceDir dir;
};

TEST_F(CliTest, PortsListsTheTableWithTheUsbDeviceLast) {
    ASSERT_EQ(Device("create Line2 --kind handset --model veltra").status, 0);
    ASSERT_EQ(Device("create LPT1 --kind handset --model veltra").status, 0);
    const Outcome run = Cli("ports");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "Line2\tSIM:Line2\n\\\\.\\MVT0\t\\\\.\\MVT0\n");
}

TEST_F(CliTest, ProductionLineProgramsAScriptOfThreeHandsets) {
    for (const char* name : {"H1", "H2", "H3"}) {
        ASSERT_EQ(Device(std::string("create ") + name + " --kind handset --model veltra").status,
                  0);
    }
    const std::string file = Path("line.wpx");
    const Outcome readRun = Cli("read --port H1 --save " + file);
    ASSERT_EQ(readRun.status, 0) << readRun.output;
    EXPECT_NE(readRun.output.find("HS: V3.04 Veltra Plus"), std::string::npos);
    EXPECT_NE(readRun.output.find("NOTE: Success to read Varnak Handset settings."),
              std::string::npos);

    // The installer turns stealth mode on in the file, then programs the line.
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    std::string edited = text.str();
    const auto at = edited.find("0004=0\r\n");
    ASSERT_NE(at, std::string::npos);
    edited.replace(at, 8, "0004=1\r\n");
    std::ofstream(file, std::ios::binary) << edited;

    for (const char* name : {"H1", "H2", "H3"}) {
        const Outcome run = Cli("program " + file + " --port " + name + " --reset");
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("Success writing Varnak Handset settings.\nReset device? Yes"),
                  std::string::npos)
            << run.output;
        const varnak::sim::DeviceImage image = Image(name);
        EXPECT_EQ(image.keys.at(halyard::PSKEY_USR33)[halyard::HS_FLAGS], 0xB700) << name;
        EXPECT_EQ(image.restarts, 1) << name;
    }
    const Outcome shown = Device("show H3");
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.output.find("StealthModeAlwaysActiveCheckBox      on"), std::string::npos)
        << shown.output;
}

TEST_F(CliTest, ProgramKeepsTheDeviceRunningWithoutReset) {
    ASSERT_EQ(Device("create G1 --kind gateway --model kordo").status, 0);
    ASSERT_EQ(Cli("read --port G1 --save " + Path("g.wpx")).status, 0);
    const Outcome run = Cli("program " + Path("g.wpx") + " --port G1");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Reset device? No"), std::string::npos);
    EXPECT_EQ(Image("G1").restarts, 0);
    EXPECT_EQ(
        Image("G1").keys.at(halyard::PSKEY_USR32)[halyard::GW_FLAGS] & halyard::kGatewayVeltraBit,
        0);
}

TEST_F(CliTest, FailuresGiveANonZeroExitCode) {
    ASSERT_EQ(Device("create K --kind handset --model kordo").status, 0);
    ASSERT_EQ(Device("create V --kind handset --model veltra").status, 0);
    ASSERT_EQ(Cli("read --port V --save " + Path("veltra.wpx")).status, 0);

    Outcome run = Cli("program " + Path("veltra.wpx") + " --port K");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("ERROR: Kordo Plus detected, not Veltra Plus as selected."),
              std::string::npos);
    run = Cli("program " + Path("missing.wpx") + " --port K");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("The file could not be opened"), std::string::npos);
    run = Cli("read --port NOPE");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("NOPE: read FAILED (0.00 s): no such port"), std::string::npos);
    std::ofstream(dir.File("V"), std::ios::app) << "silent\n";
    run = Cli("restart --port V");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("Varnak not detected"), std::string::npos);
    EXPECT_EQ(Cli("").status, 2);
}

TEST_F(CliTest, WithoutAPortTheFirstOfTheTableIsUsed) {
    ASSERT_EQ(Device("create A --kind gateway --model veltra").status, 0);
    const Outcome run = Cli("read");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Transport = A\n"), std::string::npos);
    EXPECT_NE(run.output.find("GW: V3.04 Veltra Plus"), std::string::npos);
    EXPECT_EQ(Cli("restart").status, 0);
    EXPECT_EQ(Image("A").restarts, 1);
}

TEST_F(CliTest, VarnakDeviceCreatesAndShowsDevices) {
    EXPECT_EQ(Device("create OLD --kind old-gateway --model kordo --firmware 2.17 --chip mvt4120b")
                  .status,
              0);
    EXPECT_NE(Device("create OLD --kind old-gateway --model kordo").status, 0) << "exists already";
    const Outcome shown = Device("show OLD");
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.output.find("kind     gateway, earlier series (0xFE)"), std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find("model    Kordo Plus (1)"), std::string::npos);
    EXPECT_NE(shown.output.find("firmware V2.17 (0x0217)"), std::string::npos);
    EXPECT_NE(shown.output.find("chip     mvt4120b"), std::string::npos);
    EXPECT_NE(Device("create X --kind handset --model veltra --firmware 3.4").status, 0);
    EXPECT_EQ(Device("create ../X --kind handset --model veltra").status, 2);
    EXPECT_NE(Device("show NOTHERE").status, 0);
}

}  // namespace
