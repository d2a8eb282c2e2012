// The simulated PTAP device's own behaviour: its configuration text and its answers.
#include <ptapsim/ptapsim.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace {

using ptapsim::Bytes;
using ptapsim::Config;
using ptapsim::Device;

Device::Answer Ask(Device& device, Bytes request) {
    return device.Handle(request.data(), request.size());
}

TEST(PtapsimConfig, ParsesEveryDirective) {
    Config config;
    std::string error;
    ASSERT_TRUE(
        Config::Parse("# a device\n"
                      "hif 1 0 X\n"
                      "hif 3 2 two words  # comment\n"
                      "service 0x10 1 2 0x85 4\n"
                      "counter 7 18446744073709551615\n"
                      "fault 0x11 delay 20\n"
                      "fault 0x11 status 5\n"
                      "fault 0 cut 5\n",
                      config, error))
        << error;
    ASSERT_EQ(config.hifs.size(), 2u);
    EXPECT_EQ(config.hifs[1].name, "two words");
    ASSERT_EQ(config.services.size(), 1u);
    EXPECT_EQ(config.services[0].id, 0x10);
    EXPECT_EQ(config.services[0].word3, 0x85);
    EXPECT_EQ(config.counters.at(7), UINT64_MAX);
    EXPECT_EQ(config.faults.at(0x11).delayMs, 20);
    EXPECT_EQ(config.faults.at(0x11).status, 5);
    EXPECT_EQ(config.faults.at(0).cutTo, 5u);

    Config again;
    ASSERT_TRUE(Config::Parse(config.ToText(), again, error)) << error;
    EXPECT_EQ(again.ToText(), config.ToText());
}

TEST(PtapsimConfig, TheExampleFileIsTheBuiltInDevice) {
    Config config;
    std::string error;
    ASSERT_TRUE(Config::Load(PTAPSIM_EXAMPLE_CONFIG, config, error)) << error;
    EXPECT_EQ(config.ToText(), Config::Default().ToText());
}

TEST(PtapsimConfig, NamesTheBadLine) {
    Config config = Config::Default();
    std::string error;
    EXPECT_FALSE(Config::Parse("hif 1 0 X\nhif 256 0 Y\n", config, error));
    EXPECT_EQ(error, "line 2: hif needs ID KIND NAME with ID and KIND from 0 to 255, not '256'");
    EXPECT_FALSE(Config::Parse("service 1 2 3 4\n", config, error));
    EXPECT_EQ(error.rfind("line 1: service needs", 0), 0u);
    EXPECT_FALSE(Config::Parse("fault 16 sometimes\n", config, error));
    EXPECT_EQ(error, "line 1: unknown fault or bad value: sometimes");
    EXPECT_FALSE(Config::Parse("hif 1 0 " + std::string(33, 'n') + "\n", config, error));
    // A name the written configuration could not give back (found by fuzzing).
    EXPECT_FALSE(Config::Parse(std::string("hif 7 255 a \0b\n", 15), config, error));
    EXPECT_EQ(error, "line 1: hif name must not hold control characters");
    EXPECT_FALSE(Config::Parse("gadget 1\n", config, error));
    EXPECT_EQ(config.hifs.size(), 2u) << "a failed parse leaves the configuration alone";
    EXPECT_FALSE(Config::Load("/nonexistent/ptapsim.conf", config, error));
}

TEST(PtapsimConfig, NumbersAreDecimalOrHexAndABadOneIsNamed) {
    Config config;
    std::string error;
    ASSERT_TRUE(Config::Parse("hif 010 1 usb\nhif 09 0x10 spi\ncounter 010 0x010\n", config, error))
        << error;
    EXPECT_EQ(config.hifs[0].id, 10);  // not 8: a leading zero is no octal mark
    EXPECT_EQ(config.hifs[1].id, 9);
    EXPECT_EQ(config.hifs[1].kind, 16);
    EXPECT_EQ(config.counters.at(10), 16u);
    EXPECT_FALSE(Config::Parse("hif 1 0 X\nhif 0x1g 0 Y\n", config, error));
    EXPECT_EQ(error, "line 2: hif needs ID KIND NAME with ID and KIND from 0 to 255, not '0x1g'");
    EXPECT_FALSE(Config::Parse("fault 7 delay 1e3\n", config, error));
    EXPECT_EQ(error, "line 1: unknown fault or bad value: delay, not '1e3'");
}

TEST(PtapsimConfig, OnlyARegularFileIsLoaded) {
    char pattern[] = "/tmp/ptapsim_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    Config config = Config::Default();
    std::string error;
    // A folder is no empty device, and a FIFO would hold the simulator until killed.
    EXPECT_FALSE(Config::Load(dir, config, error));
    EXPECT_EQ(error, dir + " is a folder, not a file");
    ASSERT_EQ(mkfifo((dir + "/fifo.conf").c_str(), 0644), 0);
    EXPECT_FALSE(Config::Load(dir + "/fifo.conf", config, error));
    EXPECT_EQ(error, dir + "/fifo.conf is not a regular file");
    EXPECT_EQ(config.hifs.size(), 2u);
    std::filesystem::remove_all(dir);
}

TEST(PtapsimSimulator, AUsersFileInTheSocketsPlaceIsLeftAlone) {
    char pattern[] = "/tmp/ptapsim_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    std::ofstream(dir + "/ptap~") << "an editor's backup\n";
    std::ofstream(dir + "/other.ptap") << "notes\n";
    ptapsim::Simulator simulator;
    std::string error;
    EXPECT_FALSE(simulator.Start(dir + "/ptap", error));
    EXPECT_EQ(error, dir + "/ptap~ exists and is not a socket");
    EXPECT_FALSE(simulator.Start(dir + "/other.ptap", error));
    EXPECT_EQ(error, dir + "/other.ptap exists and is not a socket");
    std::ifstream backup(dir + "/ptap~");
    std::string line;
    std::getline(backup, line);
    EXPECT_EQ(line, "an editor's backup");
    std::filesystem::remove_all(dir);
}

TEST(PtapsimDevice, ServicesMoveThroughTheirStates) {
    Device device(Config::Default());  // service 3 starts unmapped and unavailable
    auto status = [&](uint16_t id, uint16_t service) {
        Device::Answer a =
            Ask(device, {static_cast<uint8_t>(id), 0, static_cast<uint8_t>(service), 0});
        EXPECT_EQ(a.bytes.size(), 4u);
        EXPECT_EQ(a.bytes[1], 0x80);
        return a.bytes[2] | (a.bytes[3] << 8);
    };
    EXPECT_EQ(status(ptapsim::SERVICE_START, 3), ptapsim::STATUS_WRONG_STATE);
    EXPECT_EQ(status(ptapsim::SERVICE_MAP, 3), ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(status(ptapsim::SERVICE_MAP, 3), ptapsim::STATUS_WRONG_STATE);
    EXPECT_EQ(status(ptapsim::SERVICE_START, 3), ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(status(ptapsim::SERVICE_UNMAP, 3), ptapsim::STATUS_WRONG_STATE);
    EXPECT_EQ(status(ptapsim::SERVICE_AVAILABLE, 3), ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(device.State().services[2].word3, 0x82);
    EXPECT_EQ(status(ptapsim::SERVICE_STOP, 3), ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(status(ptapsim::SERVICE_UNAVAILABLE, 3), ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(status(ptapsim::SERVICE_UNMAP, 3), ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(device.State().services[2].word3, 0x00);
    EXPECT_EQ(status(ptapsim::SERVICE_MAP, 9), ptapsim::STATUS_UNKNOWN_SERVICE);
}

TEST(PtapsimDevice, DataDownIsEchoedOnlyForAStartedService) {
    Device device(Config::Default());
    Device::Answer echoed = Ask(device, {0, 0, 5, 0, 1, 0, 9, 0, 0xaa, 0xbb});
    EXPECT_EQ(echoed.bytes, (Bytes{1, 0, 5, 0, 1, 0, 9, 0, 0xaa, 0xbb}));
    Device::Answer refused = Ask(device, {0, 0, 5, 0, 2, 0, 9, 0});
    EXPECT_EQ(refused.bytes, (Bytes{0, 0x80, ptapsim::STATUS_WRONG_STATE, 0}));
    EXPECT_EQ(Ask(device, {0, 0, 5}).bytes, (Bytes{0, 0x80, ptapsim::STATUS_BAD_REQUEST, 0}));
}

TEST(PtapsimDevice, QueuePairsAttachOnceAndDetach) {
    Device device(Config::Default());
    const Bytes attach{0x30, 0, 1, 0, 2, 0, 3, 0, 4, 3, 2, 1};
    EXPECT_EQ(Ask(device, attach).bytes[2], ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(Ask(device, attach).bytes[2], ptapsim::STATUS_QUEUE_PAIR_ATTACHED);
    EXPECT_EQ(Ask(device, {0x31, 0, 1, 0, 2, 0}).bytes[2], ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(Ask(device, {0x31, 0, 1, 0, 2, 0}).bytes[2], ptapsim::STATUS_QUEUE_PAIR_NOT_ATTACHED);
}

TEST(PtapsimDevice, StatisticsAndTestStart) {
    Device device(Config::Default());
    Device::Answer stats = Ask(device, {0x12, 0, 0, 0, 2, 0, 99, 0});
    EXPECT_EQ(stats.bytes, (Bytes{0x12, 0x80, 0,  0, 2, 0, 0x48, 0x0d, 0, 0, 0, 0,
                                  0,    0,    99, 0, 0, 0, 0,    0,    0, 0, 0, 0}));
    EXPECT_EQ(Ask(device, {0x70, 0, 1, 0, 2, 0, 'a', 0}).bytes[2], ptapsim::STATUS_SUCCESS);
    EXPECT_EQ(Ask(device, {0x70, 0, 1, 0, 4, 0, 'a', 0}).bytes[2], ptapsim::STATUS_BAD_REQUEST);
    EXPECT_EQ(Ask(device, {0x55, 0}).bytes, (Bytes{0x55, 0x80, 1, 0}));
    EXPECT_FALSE(Ask(device, {0x10}).reply);
}

TEST(PtapsimDevice, FaultsShapeTheAnswer) {
    Config config = Config::Default();
    config.faults[0x10].status = 5;
    config.faults[0x10].replyId = 0x8012;
    config.faults[0x10].cutTo = 3;
    config.faults[0x11].padTo = 40;
    config.faults[0x11].delayMs = 30;
    config.faults[0x22].silent = true;
    config.faults[0x23].hangup = true;
    config.faults[0x00].status = 9;
    Device device(config);
    EXPECT_EQ(Ask(device, {0x10, 0}).bytes, (Bytes{0x12, 0x80, 5}));
    Device::Answer padded = Ask(device, {0x11, 0});
    EXPECT_EQ(padded.bytes.size(), 40u);
    EXPECT_EQ(padded.delayMs, 30);
    EXPECT_FALSE(Ask(device, {0x22, 0, 1, 0}).reply);
    Device::Answer hangup = Ask(device, {0x23, 0, 1, 0});
    EXPECT_TRUE(hangup.hangup);
    EXPECT_FALSE(hangup.reply);
    EXPECT_EQ(Ask(device, {0, 0, 0, 0, 1, 0, 0, 0}).bytes, (Bytes{0, 0x80, 9, 0}));
}

}  // namespace
