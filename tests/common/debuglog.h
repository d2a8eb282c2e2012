// Points the diagnostics framework's debug output at a private temporary file for as long as
// the object lives, so that a test reads exactly the lines it caused.
#pragma once

#include <ostrel/ostrel.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace varnak_test {

class PrivateDebugLog {
  public:
    explicit PrivateDebugLog(const std::string& prefix) {
        std::string name = "/tmp/" + prefix + "_XXXXXX";
        const int fd = mkstemp(name.data());
        if (fd >= 0) {
            close(fd);
            mPath = name;
        }
        setenv("OSTREL_LOG", mPath.c_str(), 1);
        CTheMsgHnd::ReadEnvironment();
    }
    ~PrivateDebugLog() {
        unsetenv("OSTREL_LOG");
        CTheMsgHnd::ReadEnvironment();
        if (!mPath.empty()) {
            std::remove(mPath.c_str());
        }
    }
    PrivateDebugLog(const PrivateDebugLog&) = delete;
    PrivateDebugLog& operator=(const PrivateDebugLog&) = delete;

    // False when the file could not be made.
    bool Made() const { return !mPath.empty(); }
    std::string Text() const {
        std::ifstream in(mPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::string mPath;
};

}  // namespace varnak_test
