// The quillon command-line tool, run as a program against the simulated device.
#include <ptapsim/ptapsim.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Tool : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(device.Ok()) << device.Error(); }

    // Runs quillon with `args` (each quoted for the shell) on the device's folder.
    Outcome Quillon(const std::vector<std::string>& args, bool withDir = true) {
        std::string command = std::string("'") + QUILLON_TOOL + "'";
        if (withDir) {
            command += " --dir '" + device.Dir() + "'";
        }
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        const std::string out = device.Dir() + "/out.txt";
        const std::string err = device.Dir() + "/err.txt";
        command += " >'" + out + "' 2>'" + err + "'";
        const int status = std::system(command.c_str());
        Outcome run;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        return run;
    }

    ptapsim::TempDevice device;
};

TEST_F(Tool, ServicesPrintsTheDevicesServices) {
    Outcome run = Quillon({"services"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("1      0x0100  0      2     1     64"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3 service(s)"), std::string::npos);

    run = Quillon({"--json", "services"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find(R"({"id":2,"word1":512,"word2":1,"low7":1,"bit7":true,"word4":128})"),
              std::string::npos)
        << run.out;
}

TEST_F(Tool, CommandsChangeTheDevice) {
    EXPECT_EQ(Quillon({"service", "map", "3"}).exitCode, 0);
    Outcome run = Quillon({"service", "start", "0x3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "PTAP_SERVICE_START: ok\n");
    EXPECT_EQ(device.Sim().State().services[2].word3 & 0x7f, ptapsim::SERVICE_STARTED);

    run = Quillon({"data", "7", "3", "2", "01:02:ff"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "DATA_UP class 7 sid 3 conid 2, 3 byte(s): 01 02 ff\n");

    run = Quillon({"--json", "stats", "0", "2", "16"});
    EXPECT_EQ(run.out, R"({"ok":true,"stats":[{"id":2,"value":3400},{"id":16,"value":7}]})"
                       "\n");
    EXPECT_EQ(Quillon({"qpair", "attach", "1", "2", "3", "0x01020304"}).exitCode, 0);
    EXPECT_EQ(Quillon({"qpair", "detach", "1", "2"}).exitCode, 0);
    EXPECT_EQ(Quillon({"ptest", "1", "C:\\tests\\run.bin"}).exitCode, 0);
    EXPECT_NE(Quillon({"hifs"}).out.find("1    2     spi"), std::string::npos);
}

TEST_F(Tool, ADeviceFailureShowsTheStatusAndExitsOne) {
    Outcome run = Quillon({"service", "start", "3"});  // service 3 is not mapped
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("PTAP_SERVICE_START failed: status 0x0004"), std::string::npos)
        << run.err;

    ptapsim::Fault other;
    other.replyId = 0x8010;
    device.Sim().SetFault(0x11, other);
    run = Quillon({"--json", "services"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, R"({"ok":false,"message":"PTAP_QUERY_SERVICES","status":256,)"
                       R"("statusText":"invalid response","error":"Mismatch response received"})"
                       "\n");
}

TEST_F(Tool, NoDeviceIsReportedClearly) {
    std::remove(device.SocketPath().c_str());
    device.Sim().Stop();
    Outcome run = Quillon({"services"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("no PTAP device interface (a socket or character device whose path "
                           "ends with 'ptap') in " +
                           device.Dir()),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_F(Tool, NumbersAreDecimalOrHex) {
    Outcome run = Quillon({"--json", "stats", "0", "010", "0x10"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // Counter 10 is not configured; 16 is. "010" is ten, not eight.
    EXPECT_EQ(run.out, R"({"ok":true,"stats":[{"id":10,"value":0},{"id":16,"value":7}]})"
                       "\n");
    run = Quillon({"stats", "0", "09"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    run = Quillon({"stats", "0", "0x1g"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("ID must be a number from 0 to 65535 (decimal or 0x hexadecimal), not "
                           "'0x1g'"),
              std::string::npos)
        << run.err;
}

TEST_F(Tool, AFileNamedLikeAnInterfaceIsLeftAlone) {
    const std::string folder = device.Dir() + "/h";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::string notes;
    for (int i = 0; i < 50; ++i) {
        notes += "IMPORTANT USER DATA\n";
    }
    { std::ofstream(folder + "/notes.ptap") << notes; }
    Outcome run = Quillon({"--dir", folder, "data", "7", "1", "2", "0102ff"}, false);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("no PTAP device interface"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(folder + "/notes.ptap"), notes);
}

TEST_F(Tool, UsageErrorsTouchNoDevice) {
    Outcome run = Quillon({"stats", "x", "1"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("FIRST must be a number"), std::string::npos) << run.err;
    EXPECT_EQ(Quillon({"data", "1", "1", "1", "0g"}).exitCode, 2);
    EXPECT_EQ(Quillon({"service", "launch", "1"}).exitCode, 2);
    EXPECT_EQ(Quillon({"frobnicate"}).exitCode, 2);
    EXPECT_TRUE(device.Sim().Requests().empty());

    run = Quillon({"qpair", "attach", "--help"}, false);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("VALUE"), std::string::npos);
}

TEST_F(Tool, AnInterruptWhileWaitingForTheDeviceExitsWith130) {
    ptapsim::Fault silent;
    silent.silent = true;
    device.Sim().SetFault(0x11, silent);  // PTAP_QUERY_SERVICES is never answered
    const std::string command = std::string("exec '") + QUILLON_TOOL + "' --dir '" + device.Dir() +
                                "' services >/dev/null 2>&1";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Waits until the request has reached the device: under a sanitizer on a loaded machine the
    // tool can take more than 5 s to start, and an interrupt before the request tests nothing.
    for (int i = 0; i < 60000 && device.Sim().Requests().empty(); ++i) {
        usleep(1000);
    }
    EXPECT_FALSE(device.Sim().Requests().empty()) << "the request never reached the device";
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
}

TEST_F(Tool, HelpEndsWithTheExitStatus) {
    const Outcome run = Quillon({"--help"}, false);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Exit status: 0 success, 1 the operation failed, 2 usage error, 130 "
                           "interrupted."),
              std::string::npos)
        << run.out;
}

TEST_F(Tool, HelpSaysWhatAConnectionStringMustHold) {
    const Outcome run = Quillon({"--help"}, false);
    EXPECT_EQ(run.exitCode, 0);
    for (const char* text :
         {"\"trans=ptap;dir=DIR\"", "trans=ptap chooses the PTAP transport and must be there",
          "$PTAP_INTERFACE_DIR", "/dev/ptap", "Unknown protocol"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << " in\n" << run.out;
    }
}

}  // namespace
