// The fixture of halyard-cli's station suites: a private device folder, simulated units made
// with varnak-device, and halyard-cli run as a program.
#pragma once

#include <gtest/gtest.h>
#include <velorum/devicefile.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "programs.h"
#include "support.h"

namespace halyard {

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The processes whose parent is `parent`, from /proc/PID/stat ("pid (name) state ppid ...").
inline int ChildCount(pid_t parent) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = test::ReadText(entry.path() / "stat");
        const auto end = stat.rfind(')');
        int ppid = 0;
        if (end != std::string::npos &&
            std::sscanf(stat.c_str() + end + 1, " %*c %d", &ppid) == 1 && ppid == parent) {
            ++count;
        }
    }
    return count;
}

class StationTest : public ::testing::Test {
  protected:
    varnak::sim::DeviceImage Image(const std::string& name) {
        varnak::sim::DeviceImage image;
        EXPECT_TRUE(varnak::sim::LoadDevice(dir.File(name), image, nullptr)) << name;
        return image;
    }
    std::string Path(const std::string& name) const { return (dir.path / name).string(); }
    void Create(const std::string& name, const std::string& options =
                                             "--kind handset "
                                             "--model veltra") {
        ASSERT_EQ(test::Device("create " + name + " " + options).status, 0) << name;
    }
    void Append(const std::string& name, const std::string& directives) {
        std::ofstream(dir.File(name), std::ios::app) << directives;
    }
    // A settings file read from a fresh handset, with stealth mode turned on.
    std::string StealthFile() {
        Create("TEMPLATE");
        const std::string file = Path("stealth.wpx");
        EXPECT_EQ(test::Cli("read --port TEMPLATE --save " + file).status, 0);
        std::filesystem::remove(dir.File("TEMPLATE"));
        std::string text = test::ReadText(file);
        const auto at = text.find("0004=0\r\n");
        EXPECT_NE(at, std::string::npos);
        text.replace(at, 8, "0004=1\r\n");
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    std::string Ports(const std::vector<std::string>& names) {
        std::string args;
        for (const std::string& name : names) {
            args += " --port " + name;
        }
        return args;
    }
    test::Outcome Split(const std::string& args) {
        return test::RunSplit(std::string(HALYARD_CLI) + " " + args, dir.path);
    }

    test::TempDeviceDir dir;
};

}  // namespace halyard
