// Port claims: one holder per device, whatever name its port has; freed by release or death.
#include <gtest/gtest.h>
#include <station/portclaim.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace halyard::station {
namespace {

class PortClaimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string name = "/tmp/station_claims_XXXXXX";
        folder = mkdtemp(name.data());
        std::filesystem::create_directory(folder / "locks");
        std::filesystem::create_directory(folder / "devices");
        setenv("VELORUM_DEVICE_DIR", (folder / "devices").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELORUM_DEVICE_DIR");
        std::filesystem::remove_all(folder);
    }
    std::filesystem::path folder;
    const PortEntry port{"H1", "SIM:H1"};
};

TEST_F(PortClaimTest, OneHolderAtATime) {
    const PortClaims claims({folder / "locks"});
    std::string error;
    auto held = claims.Claim(port, error);
    ASSERT_TRUE(held) << error;
    EXPECT_EQ(held->LockFile().parent_path(), folder / "locks");
    // Another process finds the port busy, with this process named.
    const pid_t other = fork();
    if (other == 0) {
        std::string why;
        const bool busy = !claims.Claim(port, why) &&
                          why == "port busy (held by PID " + std::to_string(getppid()) + ")";
        _exit(busy ? 0 : 1);
    }
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    held.reset();
    EXPECT_FALSE(std::filesystem::exists(folder / "locks" / PortClaims::LockName(port)));
    EXPECT_TRUE(claims.Claim(port, error)) << "free once released";
}

TEST_F(PortClaimTest, AHolderThatDiedLeavesNoClaim) {
    const PortClaims claims({folder / "locks"});
    const pid_t holder = fork();
    if (holder == 0) {
        std::string why;
        auto claim = claims.Claim(port, why);
        _exit(claim ? 0 : 1);  // ends without releasing: its lock file stays behind
    }
    int status = 0;
    waitpid(holder, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::exists(folder / "locks" / PortClaims::LockName(port)));
    std::string error;
    EXPECT_TRUE(claims.Claim(port, error)) << error;
}

// The lock names the device, not the port's short name, which stations on other device folders
// share; a folder that cannot be written gives way to the next.
TEST_F(PortClaimTest, TheLockNamesTheDeviceAndFallsBack) {
    const std::string here = PortClaims::LockName(port);
    EXPECT_TRUE(here.starts_with("LCK..halyard-"));
    EXPECT_EQ(PortClaims::DeviceKey(port), (folder / "devices" / "H1.vdev").string());
    setenv("VELORUM_DEVICE_DIR", (folder / "locks").c_str(), 1);
    EXPECT_NE(PortClaims::LockName(port), here) << "another folder's H1 is another device";
    setenv("VELORUM_DEVICE_DIR", (folder / "devices").c_str(), 1);
    EXPECT_EQ(PortClaims::LockName(port), here);
    EXPECT_EQ(PortClaims::DeviceKey({"X", "COM7"}), "COM7");

    {
        const PortClaims claims({folder / "missing", folder / "devices"});
        std::string error;
        const auto held = claims.Claim(port, error);
        ASSERT_TRUE(held) << error;
        EXPECT_EQ(held->LockFile().parent_path(), folder / "devices");
    }
    const PortClaims none({folder / "missing"});
    std::string error;
    EXPECT_FALSE(none.Claim(port, error));
    EXPECT_TRUE(error.starts_with("cannot claim the port: cannot write ")) << error;
    const auto defaults = PortClaims::DefaultFolders();
    EXPECT_EQ(defaults.front(), "/run/lock");
    EXPECT_EQ(defaults.back(), folder / "devices");
}

}  // namespace
}  // namespace halyard::station
