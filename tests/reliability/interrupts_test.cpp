// kill -9 and Ctrl-C at random points of an apply, a dump, an image save and a programming run,
// and outputs closed under a running program: every file is its old self or its new self,
// never a part, and the next run leaves no temporary file.
#include "support.h"

#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <velorum/devicefile.h>

#include "halyard/support.h"

namespace reliability {
namespace {

std::string Keyward(const std::string& args) {
    return Quoted(KEYWARD_TOOL) + " " + args;
}

// An image whose firmware knows keys 1000-2fff, the first `keys` of them with `words` words.
std::string Image(int keys, int words, int value) {
    std::string text = "max-pdu-words 65535\nfirmware-keys 1000-2fff\nstore 0001\n";
    char word[16];
    for (int k = 0; k < keys; ++k) {
        std::snprintf(word, sizeof word, "&%04x =", 0x1000 + k);
        text += word;
        for (int w = 0; w < words; ++w) {
            std::snprintf(word, sizeof word, " %04x", (value + k + w) & 0xFFFF);
            text += word;
        }
        text += '\n';
    }
    return text + "end\n";
}

// A PS file that sets keys 1000-2fff to their number: 8192 lines, and as many progress notes,
// enough to fill a pipe many times over.
std::string SetEveryKey() {
    std::string text;
    char line[32];
    for (int key = 0x1000; key < 0x3000; ++key) {
        std::snprintf(line, sizeof line, "&%04x = %04x %04x\n", key, key, key);
        text += line;
    }
    return text;
}

class Interrupts : public ::testing::Test {
  protected:
    void SetUp() override { RecordProperty("seed", static_cast<int>(chance.Seed())); }
    Folder dir;
    Chance chance;
};

TEST_F(Interrupts, AnApplyLeavesTheImageWhole) {
    SCOPED_TRACE("seed " + std::to_string(chance.Seed()));
    const std::string before = Image(0, 0, 0);
    WriteText(dir / "all.ps", SetEveryKey());
    Rounds rounds(12, 4.0);
    while (rounds.Next()) {
        WriteText(dir / "c.img", before);
        const int signal = rounds.Done() % 2 == 0 ? SIGKILL : SIGINT;
        const pid_t pid = Start(dir.Path(), Keyward("--chip c.img apply all.ps"));
        usleep(static_cast<useconds_t>(chance.Between(0, 150) * 1000));
        const Outcome run = KillGroup(pid, signal);
        const std::string after = ReadText(dir / "c.img");
        // Killed: the old image or the new one. Interrupted: what was applied so far, saved
        // whole (or nothing, when the interrupt came before the chip was opened).
        ASSERT_TRUE(after == before ||
                    (after.size() > 4 && after.substr(after.size() - 4) == "end\n"))
            << "round " << rounds.Done() << ": " << after.size() << " bytes";
        ASSERT_EQ(Shell(dir.Path(), Keyward("--chip c.img get 1000")).err.find("cut short"),
                  std::string::npos);
        if (signal == SIGINT) {
            ASSERT_TRUE(run.code == 130 || run.code == 0 || run.signal == SIGINT)
                << run.code << " " << run.signal;
        }
        // The next run finishes and leaves no temporary file behind.
        ASSERT_EQ(Shell(dir.Path(), Keyward("--chip c.img apply all.ps")).code, 0);
        ASSERT_NE(ReadText(dir / "c.img").find("&2fff = 2fff 2fff\n"), std::string::npos);
        ASSERT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
    }
}

TEST_F(Interrupts, ADumpLeavesTheOldDumpOrTheNew) {
    SCOPED_TRACE("seed " + std::to_string(chance.Seed()));
    WriteText(dir / "big.img", Image(64, 4000, 1));  // a dump of about 1.3 MB
    ASSERT_EQ(Shell(dir.Path(), Keyward("--chip big.img dump new.ps")).code, 0);
    const std::string whole = ReadText(dir / "new.ps");
    const std::string old = "&01f9 = 0001\n# last week's dump\n";
    Rounds rounds(12, 4.0);
    while (rounds.Next()) {
        WriteText(dir / "out.ps", old);
        const int signal = rounds.Done() % 2 == 0 ? SIGKILL : SIGINT;
        const pid_t pid = Start(dir.Path(), Keyward("--chip big.img dump out.ps"));
        usleep(static_cast<useconds_t>(chance.Between(0, 200) * 1000));
        KillGroup(pid, signal);
        const std::string after = ReadText(dir / "out.ps");
        ASSERT_TRUE(after == old || after == whole)
            << "round " << rounds.Done() << ": " << after.size() << " bytes";
        ASSERT_EQ(Shell(dir.Path(), Keyward("--chip big.img dump out.ps")).code, 0);
        ASSERT_EQ(ReadText(dir / "out.ps"), whole);
        ASSERT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
    }
}

TEST_F(Interrupts, AnImageSaveLeavesTheOldImageOrTheNew) {
    SCOPED_TRACE("seed " + std::to_string(chance.Seed()));
    WriteText(dir / "big.img", Image(256, 2000, 1));  // an image of about 2.5 MB
    ASSERT_EQ(Shell(dir.Path(), Keyward("--chip big.img set --force 17ff 0001")).code, 0);
    const size_t size = ReadText(dir / "big.img").size();
    Rounds rounds(12, 4.0);
    std::string value = "0001";
    while (rounds.Next()) {
        const std::string next = rounds.Done() % 2 == 0 ? "0001" : "0002";
        const int signal = rounds.Done() % 3 == 0 ? SIGINT : SIGKILL;
        const pid_t pid = Start(dir.Path(), Keyward("--chip big.img set --force 17ff " + next));
        usleep(static_cast<useconds_t>(chance.Between(0, 200) * 1000));
        KillGroup(pid, signal);
        ASSERT_EQ(ReadText(dir / "big.img").size(), size) << "round " << rounds.Done();
        const Outcome get = Shell(dir.Path(), Keyward("--chip big.img get 17ff"));
        ASSERT_TRUE(get.out == value + "\n" || get.out == next + "\n")
            << "round " << rounds.Done() << ": " << get.out << get.err;
        value = get.out.substr(0, 4);
    }
    ASSERT_EQ(Shell(dir.Path(), Keyward("--chip big.img set --force 17ff 0003")).code, 0);
    EXPECT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
}

// halyard-cli programs four slow devices, each in a process of its own; the whole run is
// killed at a random point.
TEST_F(Interrupts, AProgrammingRunLeavesEveryDeviceOldOrNew) {
    SCOPED_TRACE("seed " + std::to_string(chance.Seed()));
    setenv("VELORUM_DEVICE_DIR", dir.Path().c_str(), 1);
    halyard::test::RecordingDialogs dialogs;
    halyard::SettingsModel model(dialogs);
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    ASSERT_TRUE(halyard::SaveSettingsFile(model, dir / "line.wpx"));
    varnak::sim::DeviceImage factory = varnak::sim::FactoryVeltraHandset();
    factory.delayMs = 20;
    const std::vector<uint16_t> old = factory.keys.at(0x02AB);
    const std::vector<std::string> ports = {"P1", "P2", "P3", "P4"};
    std::string command = Quoted(HALYARD_CLI) + " program line.wpx";
    for (const std::string& port : ports) {
        command += " --port " + port;
    }
    // The record the run writes, from a run left to finish.
    for (const std::string& port : ports) {
        ASSERT_TRUE(varnak::sim::SaveDevice(dir / (port + ".vdev"), factory, nullptr));
    }
    ASSERT_EQ(Shell(dir.Path(), command).code, 0);
    varnak::sim::DeviceImage image;
    ASSERT_TRUE(varnak::sim::LoadDevice(dir / "P1.vdev", image, nullptr));
    const std::vector<uint16_t> programmed = image.keys.at(0x02AB);
    ASSERT_NE(programmed, old);

    Rounds rounds(10, 5.0);
    while (rounds.Next()) {
        for (const std::string& port : ports) {
            ASSERT_TRUE(varnak::sim::SaveDevice(dir / (port + ".vdev"), factory, nullptr));
        }
        const pid_t pid = Start(dir.Path(), command);
        usleep(static_cast<useconds_t>(chance.Between(0, 400) * 1000));
        KillGroup(pid, SIGKILL);
        for (const std::string& port : ports) {
            std::string error;
            ASSERT_TRUE(varnak::sim::LoadDevice(dir / (port + ".vdev"), image, &error)) << error;
            const std::vector<uint16_t>& record = image.keys.at(0x02AB);
            ASSERT_TRUE(record == old || record == programmed)
                << "round " << rounds.Done() << ", " << port;
        }
        ASSERT_EQ(Shell(dir.Path(), command).code, 0);
        ASSERT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
    }
    unsetenv("VELORUM_DEVICE_DIR");
}

// The tool's progress goes to a pipe that `head` closes early: the work goes on to the end, the
// exit code is 1, never that of SIGPIPE.
TEST_F(Interrupts, AClosedOutputStopsOnlyThePrinting) {
    SCOPED_TRACE("seed " + std::to_string(chance.Seed()));
    WriteText(dir / "all.ps", SetEveryKey());
    Rounds rounds(10, 3.0);
    while (rounds.Next()) {
        WriteText(dir / "c.img", Image(0, 0, 0));
        const std::string bytes = std::to_string(chance.Between(0, 4000));
        const std::string run = "{ " + Keyward("--chip c.img --verbose apply all.ps") +
                                " 2>&1; echo $? >code; } | head -c " + bytes;
        Shell(dir.Path(), run);
        ASSERT_EQ(ReadText(dir / "code"), "1\n") << "round " << rounds.Done();
        ASSERT_NE(ReadText(dir / "c.img").find("&2fff = 2fff 2fff\n"), std::string::npos);
        const std::string dump = "{ " + Keyward("--chip c.img --verbose dump out.ps") +
                                 " 2>&1; echo $? >code; } | head -c " + bytes;
        Shell(dir.Path(), dump);
        ASSERT_EQ(ReadText(dir / "code"), "1\n");
        ASSERT_EQ(ReadText(dir / "out.ps"), SetEveryKey());
        ASSERT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace reliability
