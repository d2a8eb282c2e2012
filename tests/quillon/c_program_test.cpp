// A C program using the plain enumeration functions, run against the simulated device.
#include <ptapsim/ptapsim.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

TEST(CProgram, ListsTheServicesAndHostInterfacesOfTheDevice) {
    ptapsim::TempDevice device;
    ASSERT_TRUE(device.Ok()) << device.Error();
    const std::string out = device.Dir() + "/out.txt";
    const std::string command =
        "PTAP_INTERFACE_DIR='" + device.Dir() + "' '" + QUILLON_C_PROGRAM + "' >'" + out + "' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(out);
    std::ostringstream text;
    text << in.rdbuf();
    ASSERT_TRUE(WIFEXITED(status)) << text.str();
    EXPECT_EQ(WEXITSTATUS(status), 0) << text.str();
    // The first buffers are too small: the program learns the size and asks again.
    EXPECT_NE(text.str().find("buffers too small, "), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("3 services: ids 1,2,3, first words "), std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("2 host interfaces: "), std::string::npos) << text.str();
}

TEST(CProgram, FailsWithTheFaultCodeWithoutADevice) {
    ptapsim::TempDevice device;
    ASSERT_TRUE(device.Ok()) << device.Error();
    const std::string absent = device.Dir() + "/absent";  // a folder with no device
    const std::string command =
        "PTAP_INTERFACE_DIR='" + absent + "' '" + QUILLON_C_PROGRAM + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
