// The ptapsim program as a process: its exit codes, and the socket it removes when it stops.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ptapsim_program_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Runs ptapsim with `args` (each quoted for the shell) to its end; the exit code.
    int Run(const std::string& args) {
        const std::string command = std::string("'") + PTAPSIM_PROGRAM + "' " + args + " >'" + dir +
                                    "/out.txt' 2>'" + dir + "/err.txt' </dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Out() const { return Read(dir + "/out.txt"); }
    std::string Err() const { return Read(dir + "/err.txt"); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Serves a device on dir/ptap until `signal`; the exit code, -1 when a signal ended it.
    int ServeUntil(int signal) {
        const std::string socket = dir + "/ptap";
        const std::string command =
            std::string("exec '") + PTAPSIM_PROGRAM + "' --socket '" + socket + "' >/dev/null 2>&1";
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        struct stat info {};
        for (int i = 0; i < 10000 && stat(socket.c_str(), &info) != 0; ++i) {
            usleep(1000);
        }
        EXPECT_EQ(stat(socket.c_str(), &info), 0) << "the socket did not appear";
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_NE(stat(socket.c_str(), &info), 0) << "the socket is removed";
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir;
};

TEST_F(Program, StopsCleanlyOnATerminationRequestAndSaysSoOnAnInterrupt) {
    EXPECT_EQ(ServeUntil(SIGTERM), 0);
    EXPECT_EQ(ServeUntil(SIGINT), 130);
}

TEST_F(Program, UsageErrorsFailuresAndHelp) {
    EXPECT_EQ(Run("--no-such-option"), 2);
    EXPECT_EQ(Run(""), 2) << "a socket is needed";
    EXPECT_NE(Err().find("--socket PATH is required"), std::string::npos) << Err();
    EXPECT_EQ(Run("--config '" + dir + "/missing.conf' --print-config"), 1);
    EXPECT_EQ(Run("--print-config"), 0);
    EXPECT_NE(Out().find("service"), std::string::npos) << Out();
    EXPECT_EQ(Run("--help"), 0);
    EXPECT_NE(Out().find("Exit status: 0 success, 1 the operation failed, 2 usage error, 130 "
                         "interrupted."),
              std::string::npos)
        << Out();
}

}  // namespace
