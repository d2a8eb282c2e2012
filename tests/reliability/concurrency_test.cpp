// Programs that change one chip image or one device file at the same time lose no change.
#include "support.h"

#include <velorum/devicefile.h>
#include <velorum/velorum.h>

namespace reliability {
namespace {

// The keyward tool's `set` on keys of its own, eight programs at once, round after round.
TEST(Concurrency, WritersOfOneChipImageKeepEveryKey) {
    Folder dir;
    ASSERT_EQ(Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img --create get 1").code, 1);
    const std::vector<std::string> keys = {"1", "2", "3", "4", "5", "7", "c", "d"};
    Rounds rounds(20, 3.0);
    while (rounds.Next()) {
        const std::string value = std::to_string(rounds.Done());
        std::vector<pid_t> writers;
        for (const std::string& key : keys) {
            writers.push_back(
                Start(dir.Path(),
                      Quoted(KEYWARD_TOOL) + " --chip c.img set --force " + key + " " + value));
        }
        for (const pid_t writer : writers) {
            ASSERT_EQ(Finish(writer).code, 0);
        }
        const std::string image = ReadText(dir / "c.img");
        for (const std::string& key : keys) {
            char line[32];
            std::snprintf(line, sizeof line, "&%04x = %04x\n", std::stoi(key, nullptr, 16),
                          std::stoi(value, nullptr, 16));
            ASSERT_NE(image.find(line), std::string::npos)
                << "round " << rounds.Done() << " lost key " << key;
        }
    }
    EXPECT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
}

// Processes writing keys of their own into one device, and restarting it, through the
// device-access library.
TEST(Concurrency, WritersOfOneDeviceFileKeepEveryChange) {
    Folder dir;
    setenv("VELORUM_DEVICE_DIR", dir.Path().c_str(), 1);
    varnak::sim::DeviceImage image = varnak::sim::FactoryVeltraHandset();
    ASSERT_TRUE(varnak::sim::SaveDevice(dir / "P.vdev", image, nullptr));
    constexpr int kWriters = 6;
    Rounds rounds(10, 3.0);
    int resets = 0;
    while (rounds.Next()) {
        std::vector<pid_t> writers;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = fork();
            if (pid == 0) {
                const velorum_handle_t h = OpenByTransport("SIM:P", 0);
                bool ok = h != 0;
                for (uint16_t n = 1; ok && n <= 5; ++n) {
                    const uint16_t words[2] = {static_cast<uint16_t>(w), n};
                    ok = WritePsKey(h, static_cast<uint16_t>(0x0100 + w), 1, 2, words) == 1;
                    ResetChip(h, 0);
                }
                CloseConnection(h);
                _exit(ok ? 0 : 1);
            }
            writers.push_back(pid);
        }
        for (const pid_t writer : writers) {
            ASSERT_EQ(Finish(writer).code, 0);
        }
        resets += kWriters * 5;
        ASSERT_TRUE(varnak::sim::LoadDevice(dir / "P.vdev", image, nullptr));
        for (int w = 0; w < kWriters; ++w) {
            ASSERT_EQ(image.keys.at(static_cast<uint16_t>(0x0100 + w)),
                      (std::vector<uint16_t>{static_cast<uint16_t>(w), 5}));
        }
        ASSERT_EQ(image.restarts, resets) << "round " << rounds.Done() << " lost a restart";
    }
    EXPECT_EQ(Named(dir.Path(), ".tmp"), std::vector<std::string>{});
    unsetenv("VELORUM_DEVICE_DIR");
}

}  // namespace
}  // namespace reliability
