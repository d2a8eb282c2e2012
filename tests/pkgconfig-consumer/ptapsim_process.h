// Starts the installed simulated PTAP device (bin/ptapsim of the installed prefix) on a socket
// in a fresh temporary folder, for the consumers of transports and quillon.
#pragma once

#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

extern char** environ;

class PtapsimProcess {
  public:
    // `librarySymbol` is any function of an installed library: ptapsim is looked for in the
    // bin folder beside that library's folder (or named by the environment variable PTAPSIM).
    explicit PtapsimProcess(void* librarySymbol) {
        char pattern[] = "/tmp/consumer-ptap-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        mDir = pattern;
        const std::string program = Find(librarySymbol);
        const std::string socket = mDir + "/ptap";
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--socket"),
                        const_cast<char*>(socket.c_str()), nullptr};
        if (program.empty() ||
            posix_spawn(&mPid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            std::fprintf(stderr, "cannot start ptapsim (%s)\n", program.c_str());
            mPid = -1;
            return;
        }
        struct stat st;
        for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~PtapsimProcess() { Stop(); }

    bool Running() const { return mPid > 0; }
    const std::string& Dir() const { return mDir; }

    // SIGTERM, then the exit status: true when ptapsim ended cleanly and removed its socket.
    bool Stop() {
        if (mPid <= 0) {
            return false;
        }
        kill(mPid, SIGTERM);
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
        struct stat st;
        const bool removed = stat((mDir + "/ptap").c_str(), &st) != 0;
        rmdir(mDir.c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 && removed;
    }

  private:
    static std::string Find(void* librarySymbol) {
        if (const char* named = std::getenv("PTAPSIM")) {
            return named;
        }
        Dl_info info{};
        if (dladdr(librarySymbol, &info) == 0 || info.dli_fname == nullptr) {
            return "";
        }
        std::string dir = info.dli_fname;
        dir = dir.substr(0, dir.rfind('/'));
        for (const char* up : {"/../bin/ptapsim", "/../../bin/ptapsim"}) {
            const std::string candidate = dir + up;
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        return "";
    }

    std::string mDir;
    pid_t mPid = -1;
};
