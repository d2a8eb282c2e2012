// A full file system: every writer fails with the reason, and the file it was to replace stays
// as it was, with no temporary file left. The disk is a size-limited tmpfs in the test's own
// mount namespace, so these tests need root; they are skipped with a message otherwise.
#include "support.h"

#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <velorum/devicefile.h>
#include <velorum/velorum.h>

#include "halyard/support.h"

namespace reliability {
namespace {

class FullDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!dir.MountSmallDisk("disk", 512 * 1024, why)) {
            GTEST_SKIP() << why;
        }
        disk = dir / "disk";
    }
    // A chip image with `keys` keys of 64 words, about 330 bytes each.
    static std::string Image(int keys) {
        std::string text = "firmware-keys 1000-2fff\nstore 0001\n";
        char word[16];
        for (int k = 0; k < keys; ++k) {
            std::snprintf(word, sizeof word, "&%04x =", 0x1000 + k);
            text += word;
            for (int w = 0; w < 64; ++w) {
                std::snprintf(word, sizeof word, " %04x", w);
                text += word;
            }
            text += '\n';
        }
        return text + "end\n";
    }

    Folder dir;
    fs::path disk;
};

TEST_F(FullDisk, ADumpKeepsTheOldDump) {
    WriteText(dir / "c.img", Image(400));  // a dump of about 130 KB, on another disk
    WriteText(disk / "out.ps", "&01f9 = 0001\n");
    FillUp(disk);
    const Outcome run = Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img dump disk/out.ps");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("Couldn't write disk/out.ps: No space left on device"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(ReadText(disk / "out.ps"), "&01f9 = 0001\n");
    EXPECT_EQ(Named(disk, ".tmp"), std::vector<std::string>{});
}

TEST_F(FullDisk, AnImageSaveKeepsTheOldImage) {
    const std::string image = Image(10);
    WriteText(disk / "c.img", image);
    FillUp(disk);
    const Outcome run =
        Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip disk/c.img set 1100 1 2 3 4 5 6");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("cannot save chip image: cannot write disk/c.img: No space left on "
                           "device"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(ReadText(disk / "c.img"), image);
    EXPECT_EQ(Named(disk, ".tmp"), std::vector<std::string>{});
}

TEST_F(FullDisk, ADeviceWriteKeepsTheDeviceAndSaysWhy) {
    setenv("VELORUM_DEVICE_DIR", disk.c_str(), 1);
    ASSERT_TRUE(
        varnak::sim::SaveDevice(disk / "P.vdev", varnak::sim::FactoryVeltraHandset(), nullptr));
    const std::string before = ReadText(disk / "P.vdev");
    const velorum_handle_t h = OpenByTransport("SIM:P", 0);  // makes the lock file
    ASSERT_NE(h, 0u);
    FillUp(disk);
    const uint16_t words[25] = {1, 2, 3};
    EXPECT_NE(WritePsKey(h, 0x02AB, 1, 25, words), 1);
    char why[512] = {};
    EXPECT_EQ(GetLastDeviceError(sizeof why, why), 1);
    EXPECT_EQ(std::string(why),
              "cannot write " + (disk / "P.vdev").string() + ": No space left on device");
    CloseConnection(h);
    EXPECT_EQ(ReadText(disk / "P.vdev"), before);
    EXPECT_EQ(Named(disk, ".tmp"), std::vector<std::string>{});
    unsetenv("VELORUM_DEVICE_DIR");
}

TEST_F(FullDisk, ASettingsFileKeepsTheOldFileAndTheLogSaysWhy) {
    halyard::test::RecordingDialogs dialogs;
    halyard::SettingsModel model(dialogs);
    ASSERT_TRUE(halyard::SaveSettingsFile(model, disk / "line.wpx"));
    const std::string before = ReadText(disk / "line.wpx");
    FillUp(disk);
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    EXPECT_FALSE(halyard::SaveSettingsFile(model, disk / "line.wpx"));
    EXPECT_EQ(dialogs.plainMessages, std::vector<std::string>{"The file could not be saved"});
    EXPECT_EQ(dialogs.log, std::vector<std::string>{"cannot write " + (disk / "line.wpx").string() +
                                                    ": No space left on device"});
    EXPECT_EQ(ReadText(disk / "line.wpx"), before);
    EXPECT_EQ(Named(disk, ".tmp"), std::vector<std::string>{});
}

#ifdef HALYARD
TEST_F(FullDisk, AScreenshotKeepsTheOldPicture) {
    WriteText(disk / "shot.png", "the old picture");
    FillUp(disk);
    fs::create_directories(dir / "devices");
    const Outcome run = Shell(dir.Path(), "QT_QPA_PLATFORM=offscreen VELORUM_DEVICE_DIR=devices " +
                                              Quoted(HALYARD) + " --screenshot disk/shot.png");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("halyard: cannot write disk/shot.png: No space left on device"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(ReadText(disk / "shot.png"), "the old picture");
    EXPECT_EQ(Named(disk, ".tmp"), std::vector<std::string>{});
}
#endif

}  // namespace
}  // namespace reliability
