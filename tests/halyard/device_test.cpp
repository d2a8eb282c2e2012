#include <fcntl.h>
#include <gtest/gtest.h>
#include <halyard/settingsmodel.h>
#include <nimbra/nimbra.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <velorum/devicefile.h>
#include <velorum/velorum.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

#include "support.h"

namespace {

using varnak::sim::DeviceImage;

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DeviceAccessTest : public ::testing::Test {
  protected:
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir.File(name)) << text;
    }
    DeviceImage Load(const std::string& name) {
        DeviceImage image;
        EXPECT_TRUE(varnak::sim::LoadDevice(dir.File(name), image, nullptr));
        return image;
    }
    halyard::test::TempDeviceDir dir;
};

TEST_F(DeviceAccessTest, HandleZeroFailsWithoutEffect) {
    Write("P1", "chip MVT4120\nkey 02ab 0001 0002\n");
    const std::string before = ReadText(dir.File("P1"));
    uint16_t words[36] = {};
    uint16_t read = 7;
    EXPECT_NE(ReadPsKey(0, 0x02AB, 1, 36, words, &read), 1);
    EXPECT_EQ(read, 0);
    EXPECT_NE(WritePsKey(0, 0x02AB, 1, 2, words), 1);
    ResetChip(0, 0);
    char chip[256] = "x";
    EXPECT_EQ(GetChipName(0, sizeof chip, chip), 0);
    EXPECT_STREQ(chip, "");
    EXPECT_EQ(ReadText(dir.File("P1")), before);
}

TEST_F(DeviceAccessTest, UsbDeviceIsCreatedAsAFactoryNewVeltraHandset) {
    std::filesystem::remove(dir.path);  // the directory is created as well
    const velorum_handle_t h = OpenByDevicePath(2, "\\\\.\\MVT0", 0, 1000, 1000);
    ASSERT_NE(h, 0u);
    char chip[256];
    ASSERT_EQ(GetChipName(h, sizeof chip, chip), 1);
    EXPECT_STREQ(chip, "MVT4120");
    uint16_t words[36];
    uint16_t count = 0;
    ASSERT_EQ(ReadPsKey(h, 0x02A9, 1, 36, words, &count), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(words[0], 0xAC02);
    ASSERT_EQ(ReadPsKey(h, 0x02AB, 1, 36, words, &count), 1);
    ASSERT_EQ(count, 25);
    // The factory record is what the programmer's Veltra Plus defaults write.
    halyard::test::RecordingDialogs dialogs;
    halyard::SettingsModel model(dialogs);
    const halyard::hs_xsettings_t defaults = model.HandsetRecordFromControls();
    EXPECT_TRUE(std::equal(words, words + 25, defaults.word));
    CloseConnection(h);
    EXPECT_NE(ReadPsKey(h, 0x02A9, 1, 36, words, &count), 1) << "closed handles are dead";
}

TEST_F(DeviceAccessTest, OpenByTransportReachesOnlyListedDevices) {
    Write("PORT_A", "chip MVT4120\n");
    Write("QUIET", "chip MVT4120\nsilent\n");
    const velorum_handle_t a = OpenByTransport("SIM:PORT_A", 0);
    EXPECT_NE(a, 0u);
    const velorum_handle_t b = OpenByTransport("SIM:PORT_A", 0);
    EXPECT_NE(b, a) << "every open gets its own handle";
    CloseConnection(a);
    CloseConnection(b);
    EXPECT_EQ(OpenByTransport("SIM:QUIET", 0), 0u);
    EXPECT_EQ(OpenByTransport("SIM:MISSING", 0), 0u);
    EXPECT_EQ(OpenByTransport("SIM:../PORT_A", 0), 0u);
    EXPECT_EQ(OpenByTransport("PORT_A", 0), 0u);
    EXPECT_EQ(OpenByTransport(nullptr, 0), 0u);
    EXPECT_EQ(OpenByDevicePath(2, "\\\\.\\MISSING", 0, 1000, 1000), 0u);
}

TEST_F(DeviceAccessTest, ReadsHonourCapacityAndFaultDirectives) {
    Write("P", "chip mvt4120-x\nkey 02ab 0001 0002 0003\nfail-read 02ab 2\nfail-write 02aa 1\n");
    const velorum_handle_t h = OpenByTransport("SIM:P", 0);
    ASSERT_NE(h, 0u);
    uint16_t words[36] = {};
    uint16_t count = 0;
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 36, words, &count), 1);
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 36, words, &count), 1);
    ASSERT_EQ(ReadPsKey(h, 0x02AB, 1, 36, words, &count), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(words[2], 0x0003);
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 2, words, &count), 1) << "longer than the buffer";
    EXPECT_NE(ReadPsKey(h, 0x0123, 1, 36, words, &count), 1) << "no such key";

    const uint16_t record[25] = {0xBEEF};
    EXPECT_NE(WritePsKey(h, 0x02AA, 1, 25, record), 1);
    EXPECT_EQ(Load("P").keys.count(0x02AA), 0u) << "a failed write changes nothing";
    EXPECT_EQ(WritePsKey(h, 0x02AA, 1, 25, record), 1);
    const DeviceImage image = Load("P");
    ASSERT_EQ(image.keys.at(0x02AA).size(), 25u);
    EXPECT_EQ(image.keys.at(0x02AA)[0], 0xBEEF);
    EXPECT_TRUE(image.failRead.empty());
    EXPECT_TRUE(image.failWrite.empty());

    ResetChip(h, 0);
    ResetChip(h, 0);
    EXPECT_EQ(Load("P").restarts, 2);
    CloseConnection(h);
}

TEST_F(DeviceAccessTest, MisbehavingDevices) {
    Write("P", "chip MVT4120\nkey 02ab 0001 0002\nfail-read 02ab 1\nlose-write 02ab 1\n");
    const velorum_handle_t h = OpenByTransport("SIM:P", 0);
    ASSERT_NE(h, 0u);
    uint16_t words[8] = {};
    uint16_t count = 9;
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 8, words, &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::vector<uint16_t>(words, words + 8), std::vector<uint16_t>(8, 0xFFFF))
        << "a failed read leaves the buffer as a broken-off transfer can";
    const uint16_t value[1] = {0x7777};
    EXPECT_EQ(WritePsKey(h, 0x02AB, 1, 1, value), 1) << "a lost write answers success";
    EXPECT_EQ(Load("P").keys.at(0x02AB), (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(WritePsKey(h, 0x02AB, 1, 1, value), 1);
    EXPECT_EQ(Load("P").keys.at(0x02AB), (std::vector<uint16_t>{0x7777}));
    CloseConnection(h);

    // A slow device takes its time for every answer.
    Write("SLOW", "chip MVT4120\nkey 02ab 0001\ndelay 150\n");
    const velorum_handle_t slow = OpenByTransport("SIM:SLOW", 0);
    ASSERT_NE(slow, 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadPsKey(slow, 0x02AB, 1, 8, words, &count), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    CloseConnection(slow);

    // A device that crashes the library takes the calling program with it.
    Write("BAD", "chip MVT4120\ncrash\n");
    const pid_t child = fork();
    if (child == 0) {
        OpenByTransport("SIM:BAD", 0);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
}

// Every change is a load, change and save under the device's lock: programs that restart one
// device at the same time lose none of the restarts.
TEST_F(DeviceAccessTest, ConcurrentProgramsLoseNoChange) {
    Write("P", "chip MVT4120\nkey 02ab 0001\n");
    constexpr int kPrograms = 8;
    constexpr int kResets = 25;
    std::vector<pid_t> children;
    for (int i = 0; i < kPrograms; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            const velorum_handle_t h = OpenByTransport("SIM:P", 0);
            for (int n = 0; n < kResets; ++n) {
                ResetChip(h, 0);
            }
            _exit(h != 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(Load("P").restarts, kPrograms * kResets);
}

TEST_F(DeviceAccessTest, WritesReplaceTheFileAtomically) {
    Write("P", "chip MVT4120\nkey 02ab 0001\n");
    const std::string before = ReadText(dir.File("P"));
    // A reader that opened the old file keeps seeing it whole: the new file is renamed over it.
    const int oldFile = ::open(dir.File("P").c_str(), O_RDONLY);
    ASSERT_GE(oldFile, 0);
    const velorum_handle_t h = OpenByTransport("SIM:P", 0);
    const uint16_t value[2] = {0x1111, 0x2222};
    ASSERT_EQ(WritePsKey(h, 0x02AB, 1, 2, value), 1);
    CloseConnection(h);
    char buffer[256] = {};
    const ssize_t n = ::pread(oldFile, buffer, sizeof buffer - 1, 0);
    ::close(oldFile);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), before);
    EXPECT_NE(ReadText(dir.File("P")).find("key 02ab 1111 2222"), std::string::npos);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{".P.vdev.lock", "P.vdev"}))
        << "no temporary file is left behind, only the device's lock file";
}

std::string LastDeviceError() {
    char text[512] = "untouched";
    GetLastDeviceError(sizeof text, text);
    return text;
}

// As a real library does, a call waits no longer than the connection's time-out: those given
// to the device-path open, 1000 ms for a transport open. The device still does the work.
TEST_F(DeviceAccessTest, TheTimeOutsOfTheConnectionAreHonoured) {
    Write("MVT0", "chip MVT4120\nkey 02ab 0001\ndelay 600000\n");
    const velorum_handle_t h = OpenByDevicePath(2, "\\\\.\\MVT0", 0, 100, 200);
    ASSERT_NE(h, 0u);
    uint16_t words[8] = {};
    uint16_t count = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 8, words, &count), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(LastDeviceError(), "the device " + dir.File("MVT0").string() +
                                     " did not answer within 100 ms (it takes 600000 ms)");
    const uint16_t value[1] = {0x0002};
    EXPECT_NE(WritePsKey(h, 0x02AB, 1, 1, value), 1);
    EXPECT_NE(LastDeviceError().find("within 200 ms"), std::string::npos) << LastDeviceError();
    EXPECT_EQ(Load("MVT0").keys.at(0x02AB), (std::vector<uint16_t>{2})) << "but it did write";
    CloseConnection(h);

    Write("SLOW", "chip MVT4120\nkey 02ab 0001\ndelay 600000\n");
    const velorum_handle_t slow = OpenByTransport("SIM:SLOW", 0);
    ASSERT_NE(slow, 0u);
    start = std::chrono::steady_clock::now();
    EXPECT_NE(ReadPsKey(slow, 0x02AB, 1, 8, words, &count), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_NE(LastDeviceError().find("did not answer within 1000 ms"), std::string::npos);
    CloseConnection(slow);
}

TEST_F(DeviceAccessTest, FailuresSayWhy) {
    Write("P", "chip MVT4120\nkey 02ab 0001\nbogus 1\n");
    EXPECT_EQ(OpenByTransport("SIM:P", 0), 0u);
    EXPECT_EQ(LastDeviceError(), dir.File("P").string() + ": line 3: unknown directive 'bogus'");

    // A FIFO in a device's place would hold every program that opens it.
    ASSERT_EQ(mkfifo(dir.File("MVT0").c_str(), 0644), 0);
    EXPECT_EQ(OpenByDevicePath(2, "\\\\.\\MVT0", 0, 1000, 1000), 0u);
    EXPECT_EQ(LastDeviceError(), dir.File("MVT0").string() + " is not a regular file");

    Write("Q", "chip MVT4120\nkey 02ab 0001\nfail-write 02ab 1\n");
    const velorum_handle_t h = OpenByTransport("SIM:Q", 0);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(LastDeviceError(), "") << "a call that works leaves no text";
    uint16_t words[8] = {};
    uint16_t count = 0;
    EXPECT_NE(ReadPsKey(h, 0x02A9, 1, 8, words, &count), 1);
    EXPECT_EQ(LastDeviceError(), "the device has no key 02a9");
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 0, words, &count), 1);
    EXPECT_EQ(LastDeviceError(), "key 02ab holds 1 words, more than the 0 asked for");
    EXPECT_NE(WritePsKey(h, 0x02AB, 1, 1, words), 1);
    EXPECT_EQ(LastDeviceError(), "the write of key 02ab failed");
    Write("Q", "chip MVT4120\nsilent\n");
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 8, words, &count), 1);
    EXPECT_EQ(LastDeviceError(), "the device " + dir.File("Q").string() + " does not answer");
    CloseConnection(h);
    EXPECT_NE(ReadPsKey(h, 0x02AB, 1, 8, words, &count), 1);
    EXPECT_EQ(LastDeviceError(), "no open connection has the handle " + std::to_string(h));
    EXPECT_EQ(OpenByTransport("USB:Q", 0), 0u);
    EXPECT_EQ(LastDeviceError(), "unknown transport 'USB:Q'");
}

TEST_F(DeviceAccessTest, DeviceFileFormatRoundTripAndErrors) {
    DeviceImage image = varnak::sim::FactoryVeltraHandset();
    image.failRead[0x02AB] = 3;
    image.loseWrite[0x02AA] = 2;
    image.delayMs = 50;
    image.silent = true;
    image.crash = true;
    image.restarts = 4;
    DeviceImage back;
    ASSERT_TRUE(varnak::sim::ParseDevice(varnak::sim::FormatDevice(image), back, nullptr));
    EXPECT_EQ(back, image);

    std::string error;
    EXPECT_FALSE(varnak::sim::ParseDevice("chip X\nkey 02zz 1\n", back, &error));
    EXPECT_EQ(error, "line 2: key needs a hex key number");
    EXPECT_FALSE(varnak::sim::ParseDevice("key 0001 12345\n", back, &error));
    EXPECT_FALSE(varnak::sim::ParseDevice("explode\n", back, &error));
    EXPECT_FALSE(varnak::sim::ParseDevice("fail-read 02ab -1\n", back, &error));
    EXPECT_FALSE(varnak::sim::ParseDevice("delay\n", back, &error));
    EXPECT_EQ(error, "line 1: delay needs milliseconds");
    EXPECT_FALSE(varnak::sim::ParseDevice("lose-write 02ab x\n", back, &error));
    std::string longKey = "key 0001";
    for (int i = 0; i < 65; ++i) {
        longKey += " 0000";
    }
    EXPECT_FALSE(varnak::sim::ParseDevice(longKey, back, &error));
    EXPECT_TRUE(
        varnak::sim::ParseDevice("# only a comment\n\n  chip  A B  # trailing\n", back, &error));
    EXPECT_EQ(back.chip, "A B");
}

TEST_F(DeviceAccessTest, PortListingHonoursTheLengthProtocol) {
    uint16_t length = 256;
    char names[256];
    char transports[256];
    uint16_t count = 9;
    ASSERT_EQ(ListProgrammingPorts(&length, names, transports, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(names, "");

    Write("MVT0", "chip MVT4120\n");  // the USB device is no programming port
    Write("Bravo", "chip MVT4120\n");
    Write("Alpha", "chip MVT4120\n");
    std::ofstream(dir.path / "notes.txt") << "ignored";
    CloseConnection(OpenByTransport("SIM:Alpha", 0));  // leaves Alpha's lock file
    ASSERT_TRUE(std::filesystem::exists(dir.path / ".Alpha.vdev.lock"));
    ASSERT_EQ(ListProgrammingPorts(&length, names, transports, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(names, "Alpha,Bravo");
    EXPECT_STREQ(transports, "SIM:Alpha,SIM:Bravo");

    // Too small: non-zero, and the length both buffers need (the longer list and its NUL).
    uint16_t small = 10;
    char smallNames[10];
    char smallTransports[10];
    EXPECT_NE(ListProgrammingPorts(&small, smallNames, smallTransports, &count), 0);
    EXPECT_EQ(small, std::string("SIM:Alpha,SIM:Bravo").size() + 1);
    std::vector<char> n(small), t(small);
    EXPECT_EQ(ListProgrammingPorts(&small, n.data(), t.data(), &count), 0);
    EXPECT_STREQ(t.data(), "SIM:Alpha,SIM:Bravo");
}

TEST(VelorumVersionTest, FitsTheBuffer) {
    char version[VELORUM_VERSION_BUFFER];
    GetLibraryVersion(version);
    EXPECT_GT(std::string(version).size(), 0u);
}

}  // namespace
