// The device-access library used from several threads: every call works on its device under
// the device's lock and the connection table is shared, so threads lose no change either.
#include <gtest/gtest.h>
#include <velorum/devicefile.h>
#include <velorum/velorum.h>

#include <fstream>
#include <thread>
#include <vector>

#include "support.h"

namespace {

TEST(DeviceThreadsTest, ThreadsOnOneDeviceAndOnSeveralLoseNoChange) {
    halyard::test::TempDeviceDir dir;
    for (const char* name : {"A", "B"}) {
        std::ofstream(dir.File(name)) << "chip MVT4120\nkey 02ab 0000\n";
    }
    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string port = t % 2 == 0 ? "SIM:A" : "SIM:B";
            for (int n = 0; n < kRounds; ++n) {
                const velorum_handle_t h = OpenByTransport(port.c_str(), 0);
                ResetChip(h, 0);
                const uint16_t value[1] = {static_cast<uint16_t>(t)};
                WritePsKey(h, 0x02A0 + t, 1, 1, value);
                CloseConnection(h);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const char* name : {"A", "B"}) {
        varnak::sim::DeviceImage image;
        ASSERT_TRUE(varnak::sim::LoadDevice(dir.File(name), image, nullptr));
        EXPECT_EQ(image.restarts, kThreads / 2 * kRounds) << name;
        EXPECT_EQ(image.keys.size(), 1u + kThreads / 2) << name << ": every thread's key is there";
    }
}

}  // namespace
