// The keyward command-line tool, run as a program on chip images in a temporary folder.
#include "tempdir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using keyward_test::ReadFile;
using keyward_test::TempDir;
using keyward_test::WriteFile;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class Tool : public ::testing::Test {
  protected:
    std::string Command(const std::vector<std::string>& args, bool withChip) {
        std::string command = "cd '" + dir.Path() + "' && exec '" + KEYWARD_TOOL + "'";
        if (withChip) {
            command += " --chip c.img --create";
        }
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        return command + " >out.txt 2>err.txt </dev/null";
    }
    // Runs keyward with `args` (each quoted for the shell) in the temporary folder, on the chip
    // image c.img (created blank when missing) unless `withChip` is false.
    Outcome Keyward(const std::vector<std::string>& args, bool withChip = true) {
        const int status = std::system(Command(args, withChip).c_str());
        Outcome run;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFile(dir / "out.txt");
        run.err = ReadFile(dir / "err.txt");
        return run;
    }
    // Starts keyward with `args` in the background (on its own chip image, named in `args`).
    pid_t Start(const std::vector<std::string>& args) {
        const std::string command = Command(args, false);
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    // The exit code of a program started with Start, -1 when a signal ended it.
    static int Finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Files in the temporary folder whose names start with `prefix`.
    std::vector<std::string> Files(const std::string& prefix) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0) {
                names.push_back(name);
            }
        }
        return names;
    }
    std::string Get(const std::string& key) {
        const Outcome run = Keyward({"get", key});
        return run.exitCode == 0 ? run.out : "exit " + std::to_string(run.exitCode);
    }

    TempDir dir;
};

TEST_F(Tool, CannedDumpAndApplyOnANewChipImage) {
    Outcome run = Keyward({"canned", "@usb"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");  // progress stays off the record when not on a terminal
    const std::string image = ReadFile(dir / "c.img");
    EXPECT_NE(image.find("&01f9 = 0002\n"), std::string::npos) << image;

    run = Keyward({"dump", "out.ps", "--annotated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir / "out.ps"),
              "// PSKEY_HOST_INTERFACE\n&01f9 = 0002// USB link\n"
              "// PSKEY_USB_VM_CONTROL\n&03c0 = 0000// False\n");

    // Applying the dump changes nothing, so the image is not rewritten.
    run = Keyward({"apply", "out.ps"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir / "c.img"), image);

    // Applied to another chip it gives that chip the same keys.
    run = Keyward({"--chip", "other.img", "--create", "apply", "out.ps"}, false);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    run = Keyward({"--chip", "other.img", "dump", "again.ps", "--annotated"}, false);
    EXPECT_EQ(ReadFile(dir / "again.ps"), ReadFile(dir / "out.ps"));
}

TEST_F(Tool, ADumpThroughTheCacheIsTheSameFile) {
    // Keys in several stores, one with an override in boot mode 0 (which a dump does not show).
    WriteFile(dir / "c.img",
              "store 0001\n&01f9 = 0002\n&028a = 0001 0002 abcd\n&04b0 = 01f9\n&04b8 = 0003\n"
              "store 0002\n&01f9 = 0001\n&0191 = 0010 0020\n"
              "store 0010\n&03c0 = 0001\nend\n");
    const std::string image = ReadFile(dir / "c.img");
    for (const char* form : {"--annotated", ""}) {
        std::vector<std::string> plain = {"dump", "plain.ps"};
        std::vector<std::string> cached = {"--cache", "dump", "cached.ps"};
        if (*form != '\0') {
            plain.push_back(form);
            cached.push_back(form);
        }
        Outcome run = Keyward(plain);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        run = Keyward(cached);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(ReadFile(dir / "plain.ps").find("&028a = 0001 0002 abcd"), std::string::npos)
            << ReadFile(dir / "plain.ps");
        EXPECT_EQ(ReadFile(dir / "cached.ps"), ReadFile(dir / "plain.ps")) << form;
    }
    EXPECT_EQ(ReadFile(dir / "c.img"), image) << "a dump changes nothing";

    // Writes and reads go through the cache too.
    ASSERT_EQ(Keyward({"--cache", "set", "0x01f9", "3"}).exitCode, 0);
    EXPECT_EQ(Get("0x01f9"), "0003\n");
    const Outcome run = Keyward({"--cache", "get", "PSKEY_USR0"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "0001 0002 abcd\n");
}

TEST_F(Tool, GetSetAndDeleteKeysByNumberOrIdentifier) {
    EXPECT_EQ(Keyward({"set", "PSKEY_USR0", "1", "0x2", "abcd"}).exitCode, 0);
    EXPECT_EQ(Get("0x028a"), "0001 0002 abcd\n");
    EXPECT_EQ(Get("usr0"), "0001 0002 abcd\n");
    EXPECT_EQ(Keyward({"set", "0191", "0", "6", "0", "0", "0", "0", "0", "0", "0", "0"}).exitCode,
              0);
    EXPECT_EQ(Keyward({"set", "pskey_uart_config", "a8"}).exitCode, 0);
    EXPECT_EQ(Get("0191"), "0000 00a8 0000 0000 0000 0000 0000 0000 0000 0000\n");
    EXPECT_EQ(Get("PSKEY_UART_CONFIG"), "00a8\n");

    EXPECT_EQ(Keyward({"delete", "28a"}).exitCode, 0);
    const Outcome missing = Keyward({"get", "28a"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "keyward: key 0x028a PSKEY_USR0 has no value\n");

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"get", "PSKEY_NO_SUCH_KEY"},
                                               {"get", "0"},
                                               {"get", "10000"},
                                               {"set", "28a", "12345"},
                                               {"set", "uart_config", "1", "2"},
                                               {"delete", "uart_config"}}) {
        const Outcome run = Keyward(args);
        EXPECT_EQ(run.exitCode, 2) << args[0] << " " << args[1];
        EXPECT_NE(run.err.find("keyward: "), std::string::npos);
    }
}

TEST_F(Tool, ReportsGoToStandardErrorWithTheirCaption) {
    WriteFile(dir / "bad.ps", "&01f9 = 3\n&01f9 3\n&028a = 1\n");
    Outcome run = Keyward({"apply", "bad.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Error: Error on line 2 - invalid operator\n");
    EXPECT_EQ(Get("01f9"), "0003\n");  // the lines before the error stay applied
    EXPECT_EQ(Get("028a"), "exit 1");

    run = Keyward({"canned", "@nope"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ERROR: Canned operation @nope not supported\n");

    // A failed line stops the run, unless --keep-going.
    WriteFile(dir / "fails.ps", "&0205 = 6\n&028b = 2\n");
    run = Keyward({"apply", "fails.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Error: Cannot set this presentation key because the base key (0x0191) "
                           "is not set\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Get("028b"), "exit 1");
    run = Keyward({"--keep-going", "apply", "fails.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Error: Failed to update key 0x0205, UART config\n"), std::string::npos)
        << run.err;
    EXPECT_EQ(Get("028b"), "0002\n");

    // An image that cannot be written is reported once, before any work is done.
    run = Keyward({"--chip", "no/such/folder/c.img", "--create", "canned", "@usb"}, false);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err,
              "keyward: cannot open the lock file no/such/folder/.c.img.lock: No such "
              "file or directory\n");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

    WriteFile(dir / "broken.img", "store 0001\n&01f9 = xyz\n");
    run = Keyward({"--chip", "broken.img", "get", "01f9"}, false);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot load chip image: broken.img: line 2"), std::string::npos)
        << run.err;
}

TEST_F(Tool, VerboseRunsPrintTheirProgress) {
    WriteFile(dir / "set.ps", "&01f9 = 3\n&ff00 - # restores the factory values\n");
    const Outcome run = Keyward({"--verbose", "apply", "set.ps"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err,
              "Altered key 505, Host interface\n"
              "Altered key 65280, Unknown key\n"
              "Applied 2 operations of set.ps\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(Tool, QueriesWriteTheirAnswers) {
    ASSERT_EQ(Keyward({"canned", "@h4"}).exitCode, 0);
    WriteFile(dir / "ask.ps", "?01f9 =\n?028a =\n");
    const Outcome run = Keyward({"query", "answer.ps", "ask.ps", "--annotated"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir / "answer.ps"),
              "// PSKEY_HOST_INTERFACE\n&01f9 = 0003// UART link running H4\n"
              "// PSKEY_USR0\n&028a - // Delete\n");
}

TEST_F(Tool, CannedListAndKeyInfoNeedNoChip) {
    Outcome run = Keyward({"canned", "--list"}, false);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 29);
    EXPECT_NE(run.out.find("@usb                     Sets transport to USB\n"), std::string::npos);

    run = Keyward({"info", "0x01f9"}, false);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("identifier    PSKEY_HOST_INTERFACE\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("structure     35, 1 word\n"), std::string::npos);
    EXPECT_NE(run.out.find("     3  UART link running H4\n"), std::string::npos);

    run = Keyward({"info", "PSKEY_UART_CONFIG"}, false);
    EXPECT_NE(run.out.find("field         bit offset 16, width 16, of 0x0191 "
                           "PSKEY_HOSTIO_UART_PS_BLOCK\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Keyward({"info", "9999"}, false).exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "c.img"));
}

TEST_F(Tool, PowerTablesAreShownAndEdited) {
    Outcome run = Keyward({"power-table", "PSKEY_LC_POWER_TABLE"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "keyward: key 0x001e PSKEY_LC_POWER_TABLE has no value\n");

    run = Keyward({"power-table", "1e", "--add", "internal_pa=13,external_pa=17,tx_dbm=-8", "--add",
                   "internal_pa=1,tx_dbm=-20"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Get("1e"), "0d11 f800 0100 ec00\n");
    run = Keyward({"power-table", "1e", "--sort", "--add", "tx_dbm=0", "--at", "0"});
    EXPECT_EQ(run.out,
              "index  internal_pa  external_pa  tx_dbm\n"
              "    0            1            0     -20\n"
              "    1           13           17      -8\n"
              "    2            0            0       0\n");
    EXPECT_EQ(Keyward({"power-table", "1e", "--delete", "2", "--delete", "0"}).exitCode, 0);
    EXPECT_EQ(Get("1e"), "0d11 f800\n");

    run = Keyward({"power-table", "1e", "--delete", "1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "keyward: there is no setting 1 to delete (the table has 1)\n");
    EXPECT_EQ(Get("1e"), "0d11 f800\n");

    std::vector<std::string> args{"power-table", "1e"};
    for (int i = 0; i < 32; ++i) {
        args.insert(args.end(), {"--add", "tx_dbm=" + std::to_string(i)});
    }
    run = Keyward(args);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "keyward: the table is full (32 settings)\n");

    // Other keys need their format named; fields are checked before the chip is touched.
    EXPECT_EQ(Keyward({"power-table", "28a"}).exitCode, 2);
    run = Keyward({"power-table", "28a", "--kind", "v0", "--add", "mixer_level=16"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("mixer_level must lie between 0 and 15"), std::string::npos);
    run = Keyward({"power-table", "28a", "--kind", "enhanced", "--add", "inhibit_br=1"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Get("28a"), "0000 0000 0000 0002 0000\n");
}

TEST_F(Tool, UsageErrorsHelpAndVersion) {
    for (const char* command :
         {"dump", "apply", "query", "canned", "get", "set", "delete", "info", "power-table"}) {
        const Outcome run = Keyward({command, "--help"}, false);
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_NE(run.out.find("Usage"), std::string::npos) << command;
    }
    Outcome run = Keyward({"--version"}, false);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("keyward ", 0), 0u) << run.out;

    EXPECT_EQ(Keyward({}, false).exitCode, 2);
    EXPECT_EQ(Keyward({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(Keyward({"apply", "missing.ps"}).exitCode, 2);
    run = Keyward({"get", "01f9"}, false);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("needs --chip IMAGE"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "c.img"));
}

// ---------------------------------------------------------------- nothing lost

// An image of `keys` keys (from 0x1000 on) of `words` words each, for runs that take a while.
std::string BigImage(int keys, int words) {
    std::string text = "max-pdu-words 65535\nstore 0001\n";
    char word[16];
    for (int k = 0; k < keys; ++k) {
        std::snprintf(word, sizeof word, "&%04x =", 0x1000 + k);
        text += word;
        for (int w = 0; w < words; ++w) {
            std::snprintf(word, sizeof word, " %04x", (k + w) & 0xFFFF);
            text += word;
        }
        text += '\n';
    }
    return text + "end\n";
}

uintmax_t SizeOf(const std::string& path) {
    std::error_code ignored;
    const uintmax_t size = std::filesystem::file_size(path, ignored);
    return size == static_cast<uintmax_t>(-1) ? 0 : size;
}

TEST_F(Tool, AnInterruptedDumpLeavesTheOldFileAsItWas) {
    WriteFile(dir / "big.img", BigImage(200, 16000));  // a dump of 16 MB
    const std::string image = ReadFile(dir / "big.img");
    const std::string old = "&01f9 = 0001\n# the dump of last week\n";
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        WriteFile(dir / "big.ps", old);
        const pid_t pid = Start({"--chip", "big.img", "dump", "big.ps"});
        ASSERT_GT(pid, 0);
        // Waits until the dump is being written, to the temporary file or to the file itself.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        bool writing = false;
        while (!writing && std::chrono::steady_clock::now() < end) {
            for (const std::string& name : Files(".big.ps.")) {
                writing = writing || SizeOf(dir / name) > 0;
            }
            writing = writing || SizeOf(dir / "big.ps") != old.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(writing) << ReadFile(dir / "err.txt");
        kill(pid, signal);
        EXPECT_EQ(Finish(pid), 130) << ReadFile(dir / "err.txt");
        EXPECT_EQ(ReadFile(dir / "big.ps"), old);
        EXPECT_EQ(Files(".big.ps."), std::vector<std::string>{}) << "no temporary file is left";
        EXPECT_EQ(ReadFile(dir / "big.img"), image);
    }
}

TEST_F(Tool, AnInterruptedApplyKeepsTheLinesAppliedSoFar) {
    // 600 lines of 4000 words each; the chip's image is saved with what was applied.
    WriteFile(dir / "big.img", "firmware-keys 1000-12ff\nend\n");
    std::string file;
    for (int k = 0; k < 600; ++k) {
        char line[16];
        std::snprintf(line, sizeof line, "&%04x =", 0x1000 + k);
        file += line;
        for (int w = 0; w < 4000; ++w) {
            file += " 0001";
        }
        file += '\n';
    }
    WriteFile(dir / "big.ps", file);
    const pid_t pid = Start({"--chip", "big.img", "--verbose", "apply", "big.ps"});
    ASSERT_GT(pid, 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (ReadFile(dir / "err.txt").find("Altered key") == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGINT);
    EXPECT_EQ(Finish(pid), 130) << ReadFile(dir / "err.txt");
    const std::string image = ReadFile(dir / "big.img");
    EXPECT_NE(image.find("&1000 = 0001 0001"), std::string::npos) << "the first line was applied";
    EXPECT_EQ(image.find("&1257 ="), std::string::npos) << "the last line was not";
    EXPECT_EQ(Files(".big.img.tmp"), std::vector<std::string>{});
}

TEST_F(Tool, AFailedDumpOrQueryLeavesTheOldFileAsItWas) {
    // The second key is too long for the chip's largest PDU, so reading it fails.
    std::string words;
    for (int i = 0; i < 100; ++i) {
        words += " 0001";
    }
    WriteFile(dir / "c.img", "max-pdu-words 64\nstore 0001\n&01f9 = 0002\n&028a =" + words +
                                 "\n&03c0 = 0000\nend\n");
    WriteFile(dir / "out.ps", "&01f9 = 0001\n");
    Outcome run = Keyward({"dump", "out.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("KVCMD too big"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(dir / "out.ps"), "&01f9 = 0001\n");

    // A query that stops at a line in error.
    WriteFile(dir / "ask.ps", "?01f9 =\n?03c0 3\n");
    WriteFile(dir / "answer.ps", "the last answer\n");
    run = Keyward({"query", "answer.ps", "ask.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadFile(dir / "answer.ps"), "the last answer\n");

    // An output in a folder that does not exist is reported before any work is done.
    run = Keyward({"dump", "no/such/folder/out.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("keyward: cannot create a temporary file beside no/such/folder/out.ps"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Files(".out.ps."), std::vector<std::string>{});

    // A dump that works replaces the file and keeps its permissions.
    WriteFile(dir / "c.img", "store 0001\n&01f9 = 0002\nend\n");
    ASSERT_EQ(chmod((dir / "out.ps").c_str(), 0640), 0);
    run = Keyward({"dump", "out.ps"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir / "out.ps"), "&01f9 = 0002\n");
    struct stat info {};
    ASSERT_EQ(stat((dir / "out.ps").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(Tool, ALongKeyIsGivenBackByItsDump) {
    std::vector<std::string> set = {"set", "PSKEY_USR0"};
    for (int i = 0; i < 1000; ++i) {
        set.push_back(std::to_string(1000 + i));
    }
    ASSERT_EQ(Keyward(set).exitCode, 0);
    const std::string value = Get("028a");
    for (const std::vector<std::string>& dump : std::vector<std::vector<std::string>>{
             {"dump", "long.ps"}, {"dump", "long.ps", "--annotated"}}) {
        ASSERT_EQ(Keyward(dump).exitCode, 0);
        ASSERT_EQ(Keyward({"delete", "028a"}).exitCode, 0);
        const Outcome run = Keyward({"apply", "long.ps"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Get("028a"), value) << dump.size();
    }
}

TEST_F(Tool, AMissingImageIsCreatedOnlyWhenAsked) {
    WriteFile(dir / "x.ps", "&01f9 = 3\n");
    const std::vector<std::vector<std::string>> commands = {
        {"dump", "t.ps"},     {"get", "01f9"},    {"query", "t.ps", "x.ps"}, {"apply", "x.ps"},
        {"set", "01f9", "3"}, {"canned", "@usb"}, {"delete", "01f9"},        {"power-table", "1e"}};
    for (const auto& command : commands) {
        std::vector<std::string> args = {"--chip", "typo.img"};
        args.insert(args.end(), command.begin(), command.end());
        const Outcome run = Keyward(args, false);
        EXPECT_EQ(run.exitCode, 1) << command[0];
        EXPECT_EQ(run.err,
                  "keyward: there is no chip image typo.img (give --create to start a "
                  "blank chip there)\n")
            << command[0];
    }
    EXPECT_EQ(Files("typo.img"), std::vector<std::string>{});
    EXPECT_EQ(Files("t.ps"), std::vector<std::string>{});

    Outcome run = Keyward({"--chip", "typo.img", "--create", "set", "01f9", "3"}, false);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(ReadFile(dir / "typo.img").find("&01f9 = 0003"), std::string::npos);
    run = Keyward({"--help"}, false);
    EXPECT_NE(run.out.find("--create"), std::string::npos) << run.out;
}

TEST_F(Tool, ChangesToOneImageAtTheSameTimeAreAllKept) {
    ASSERT_EQ(Keyward({"get", "1"}).exitCode, 1);  // creates the blank image
    const std::vector<std::string> keys = {"1", "2", "3", "4", "5", "7", "c", "d"};
    std::vector<pid_t> writers;
    for (const std::string& key : keys) {
        // Each its own output files, as they run at once.
        const std::string command = "cd '" + dir.Path() + "' && exec '" + KEYWARD_TOOL +
                                    "' --chip c.img set --force " + key + " 1 >/dev/null 2>err" +
                                    key;
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        writers.push_back(pid);
    }
    for (size_t i = 0; i < writers.size(); ++i) {
        EXPECT_EQ(Finish(writers[i]), 0) << ReadFile(dir / ("err" + keys[i]));
    }
    const std::string image = ReadFile(dir / "c.img");
    for (const std::string& key : keys) {
        EXPECT_NE(image.find("&000" + key + " = 0001\n"), std::string::npos) << key << image;
    }
}

TEST_F(Tool, ACutOrEmptyImageIsRefusedAndLeftAlone) {
    ASSERT_EQ(Keyward({"canned", "@usb"}).exitCode, 0);
    const std::string whole = ReadFile(dir / "c.img");
    for (const size_t length : {size_t{0}, size_t{100}, whole.find("store"), whole.size() - 4}) {
        SCOPED_TRACE(length);
        const std::string cut = whole.substr(0, length);
        WriteFile(dir / "c.img", cut);
        const Outcome run = Keyward({"--chip", "c.img", "set", "28a", "1"}, false);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err.rfind("keyward: cannot load chip image: c.img: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(length == 0 ? "the image is empty" : "it was cut short"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(ReadFile(dir / "c.img"), cut);
    }
    // Padding after the end is no image either.
    WriteFile(dir / "c.img", whole + std::string(512, '\0'));
    const Outcome run = Keyward({"--chip", "c.img", "get", "01f9"}, false);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("text after the end line"), std::string::npos) << run.err;
}

TEST_F(Tool, AFifoOrFolderIsNoChipImage) {
    ASSERT_EQ(mkfifo((dir / "fifo.img").c_str(), 0644), 0);
    Outcome run = Keyward({"--chip", "fifo.img", "get", "01f9"}, false);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "keyward: cannot load chip image: fifo.img is not a regular file\n");
    run = Keyward({"--chip", "fifo.img", "--create", "set", "01f9", "1"}, false);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "keyward: cannot replace fifo.img: it is not a regular file\n");
}

TEST_F(Tool, SetKeepsToTheLengthTheDatabaseGives) {
    Outcome run = Keyward({"set", "PSKEY_BDADDR", "1"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("keyward: 0x0001 PSKEY_BDADDR holds 4 words, not 1 (give --force to "
                           "write them all the same)"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Get("1"), "exit 1");
    EXPECT_EQ(Keyward({"set", "PSKEY_HOST_INTERFACE", "1", "2"}).exitCode, 2);
    run = Keyward({"set", "--force", "PSKEY_BDADDR", "1"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Get("1"), "0001\n");
    EXPECT_EQ(Keyward({"set", "PSKEY_BDADDR", "78", "9abc", "56", "1234"}).exitCode, 0);
    EXPECT_EQ(Get("1"), "0078 9abc 0056 1234\n");
}

TEST_F(Tool, PowerTableNumbersAreDecimal) {
    Outcome run = Keyward({"power-table", "1e", "--add", "internal_pa=010,tx_dbm=-010", "--add",
                           "internal_pa=09,external_pa=0x10"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Get("1e"), "0a00 f600 0910 0000\n");
    run = Keyward({"power-table", "1e", "--add", "tx_dbm=1", "--at", "01"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Get("1e"), "0a00 f600 0000 0100 0910 0000\n");
    EXPECT_EQ(Keyward({"power-table", "1e", "--delete", "010"}).exitCode, 1);  // ten, not eight
    run = Keyward({"power-table", "1e", "--add", "internal_pa=0x1g"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("internal_pa must be a number (decimal or 0x hexadecimal), not '0x1g'"),
              std::string::npos)
        << run.err;
    run = Keyward({"power-table", "1e", "--at", "08x"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("'08x' is not a number"), std::string::npos) << run.err;
}

TEST_F(Tool, AClosedOutputStopsThePrintingNotTheWork) {
    // Progress lines enough to fill the pipe many times over, so that writes fail after
    // `head` has gone, whatever the timing.
    std::string file;
    for (int k = 0x1000; k < 0x3000; ++k) {
        char line[24];
        std::snprintf(line, sizeof line, "&%04x = %04x\n", k, k);
        file += line;
    }
    WriteFile(dir / "keys.ps", file);
    WriteFile(dir / "c.img", "firmware-keys 1000-2fff\nend\n");
    const auto piped = [&](const std::string& args) {
        // The exit code of keyward itself, whose output `head` closes after one line.
        const std::string command = "cd '" + dir.Path() + "' && { '" + KEYWARD_TOOL +
                                    "' --chip c.img --verbose " + args +
                                    " 2>&1; echo $? >code; } | head -1 >/dev/null";
        std::system(command.c_str());
        return ReadFile(dir / "code");
    };
    EXPECT_EQ(piped("apply keys.ps"), "1\n");
    EXPECT_NE(ReadFile(dir / "c.img").find("&2fff = 2fff\n"), std::string::npos)
        << "every change was applied and saved";
    EXPECT_EQ(piped("dump out.ps"), "1\n");
    EXPECT_EQ(ReadFile(dir / "out.ps"), file);
    EXPECT_EQ(Files(".out.ps.tmp"), std::vector<std::string>{});
    EXPECT_EQ(Files(".c.img.tmp"), std::vector<std::string>{});
}

TEST_F(Tool, AKilledDumpsLeftoverGoesWithTheNextDump) {
    WriteFile(dir / "big.img", BigImage(100, 16000));
    const pid_t pid = Start({"--chip", "big.img", "dump", "big.ps"});
    ASSERT_GT(pid, 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (Files(".big.ps.tmp").empty() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);
    Finish(pid);
    EXPECT_EQ(Files(".big.ps.tmp").size(), 1u) << "a killed writer leaves its temporary file";
    WriteFile(dir / "c.img", "store 0001\n&01f9 = 0002\nend\n");
    ASSERT_EQ(Keyward({"dump", "big.ps"}).exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "big.ps"), "&01f9 = 0002\n");
    EXPECT_EQ(Files(".big.ps.tmp"), std::vector<std::string>{});
}

TEST_F(Tool, TransportRecipesSetTheUartConfigOfTheDefaultChip) {
    WriteFile(dir / "c.img",
              "store 0001\n&0191 = 0001 0006 0002 0000 0000 0000 0000 0000 0000 "
              "0009\nend\n");
    EXPECT_EQ(Keyward({"canned", "@h4"}).exitCode, 0);
    EXPECT_EQ(Get("0191"), "0001 00a8 0002 0000 0000 0000 0000 0000 0000 0009\n");
    EXPECT_EQ(Keyward({"--cache", "canned", "@kvsp"}).exitCode, 0);
    EXPECT_EQ(Get("PSKEY_UART_CONFIG"), "0006\n");
    EXPECT_EQ(Get("01f9"), "0001\n");
}

TEST_F(Tool, KeepGoingGoesOnAfterAFailedKeyButALineInErrorStopsTheFile) {
    WriteFile(dir / "mixed.ps", "&0205 = 6\n&028b = 2\n&01f9 3\n&028c = 4\n");
    const Outcome run = Keyward({"--keep-going", "apply", "mixed.ps"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Get("028b"), "0002\n") << "went on after the failed key";
    EXPECT_EQ(Get("028c"), "exit 1") << "stopped at the line in error";
    const Outcome help = Keyward({"--help"}, false);
    EXPECT_NE(help.out.find("a line that is not valid PS-file syntax still stops"),
              std::string::npos)
        << help.out;
}

TEST_F(Tool, EveryHelpEndsWithTheExitStatus) {
    const std::string status =
        "Exit status: 0 success, 1 the operation failed, 2 usage error, 130 interrupted.";
    for (const char* command :
         {"", "dump", "apply", "query", "canned", "get", "set", "delete", "info", "power-table"}) {
        std::vector<std::string> args;
        if (*command != '\0') {
            args.push_back(command);
        }
        args.push_back("--help");
        const Outcome run = Keyward(args, false);
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_NE(run.out.find(status), std::string::npos) << command << ":\n" << run.out;
    }
}

}  // namespace
