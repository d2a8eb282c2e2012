// Inputs that are not what they claim to be: cut and padded files, and FIFOs or folders in the
// place of a chip image, a device file or a device configuration. Each is refused at once with
// a message that names it; nothing waits for a writer that never comes.
#include "support.h"

#include <sys/stat.h>
#include <velorum/devicefile.h>
#include <velorum/velorum.h>

namespace reliability {
namespace {

// `command`, stopped after 20 s: long enough for any program here, short of hanging the suite.
Outcome Bounded(const Folder& dir, const std::string& command) {
    return Shell(dir.Path(), "timeout -s KILL 20 " + command);
}

TEST(Inputs, CutChipImagesAreRefusedAndLeftAlone) {
    Folder dir;
    Chance chance;
    SCOPED_TRACE("seed " + std::to_string(chance.Seed()));
    ASSERT_EQ(
        Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip whole.img --create canned @usb").code, 0);
    ASSERT_EQ(Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip whole.img set 28a 1 2 3").code, 0);
    const std::string whole = ReadText(dir / "whole.img");
    Rounds rounds(40, 3.0);
    while (rounds.Next()) {
        // Short of its last line: without only the final line end, nothing is lost.
        const int length = chance.Between(0, static_cast<int>(whole.size()) - 2);
        const std::string cut = whole.substr(0, static_cast<size_t>(length));
        WriteText(dir / "c.img", cut);
        const Outcome run = Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img set 28a 7");
        ASSERT_EQ(run.code, 1) << cut.size() << " bytes: " << run.err;
        ASSERT_EQ(run.err.rfind("keyward: cannot load chip image: c.img: ", 0), 0u) << run.err;
        ASSERT_EQ(ReadText(dir / "c.img"), cut);
    }
}

TEST(Inputs, APaddedDeviceFileIsRefusedWithItsLine) {
    Folder dir;
    setenv("VELORUM_DEVICE_DIR", dir.Path().c_str(), 1);
    ASSERT_TRUE(
        varnak::sim::SaveDevice(dir / "P.vdev", varnak::sim::FactoryVeltraHandset(), nullptr));
    WriteText(dir / "P.vdev", ReadText(dir / "P.vdev") + std::string(64, '\0'));
    EXPECT_EQ(OpenByTransport("SIM:P", 0), 0u);
    char why[512] = {};
    EXPECT_EQ(GetLastDeviceError(sizeof why, why), 1);
    EXPECT_NE(std::string(why).find((dir / "P.vdev").string() + ": line 6: unknown directive"),
              std::string::npos)
        << why;
    unsetenv("VELORUM_DEVICE_DIR");
}

TEST(Inputs, AFifoOrAFolderIsNoFileToLoad) {
    Folder dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((dir / "MVT0.vdev").c_str(), 0644), 0);
    fs::create_directory(dir / "folder.conf");

    Outcome run = Bounded(dir, Quoted(KEYWARD_TOOL) + " --chip fifo get 01f9");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "keyward: cannot load chip image: fifo is not a regular file\n");

    run = Bounded(dir, "env VELORUM_DEVICE_DIR=. " + Quoted(VARNAK_DEVICE) + " show MVT0");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "varnak-device: ./MVT0.vdev is not a regular file\n");

    run = Bounded(dir, Quoted(PTAPSIM) + " --config fifo --print-config");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "ptapsim: fifo is not a regular file\n");
    run = Bounded(dir, Quoted(PTAPSIM) + " --config folder.conf --print-config");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "ptapsim: folder.conf is a folder, not a file\n");

    // A settings file to program: refused before any device is touched.
    const std::string devices = "env VELORUM_DEVICE_DIR=devices ";
    ASSERT_EQ(Bounded(dir, "mkdir devices && " + devices + Quoted(VARNAK_DEVICE) + " create P1 --kind handset --model veltra")
                  .code,
              0);
    run = Bounded(dir, devices + Quoted(HALYARD_CLI) + " program fifo --port P1 --plain");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("cannot load fifo: The file could not be opened (it is not a regular "
                           "file)"),
              std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace reliability
