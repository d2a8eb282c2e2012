// What the reliability tests share: a scratch folder, programs run through the shell or in a
// process group of their own, bounded loops, and a small tmpfs in a mount namespace of the
// test's own.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace reliability {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A folder for one test, removed with everything in it at the end.
class Folder {
  public:
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "reliability-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            mPath = pattern;
        }
        EXPECT_FALSE(mPath.empty()) << "cannot create a temporary folder";
    }
    ~Folder() {
        if (!mMount.empty()) {
            umount2(mMount.c_str(), MNT_DETACH);
        }
        std::error_code ignored;
        fs::remove_all(mPath, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    fs::path operator/(const std::string& name) const { return mPath / name; }
    const fs::path& Path() const { return mPath; }

    // Mounts a tmpfs of `bytes` at the subfolder `name`, in a mount namespace of this test
    // process (and the programs it starts), so that nothing outside sees it and it goes with
    // the process. Needs root; false with the reason otherwise.
    bool MountSmallDisk(const std::string& name, size_t bytes, std::string& why) {
        const fs::path at = mPath / name;
        fs::create_directories(at);
        if (geteuid() != 0) {
            why = "needs root to mount a size-limited tmpfs";
            return false;
        }
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = std::string("cannot make a mount namespace: ") + std::strerror(errno);
            return false;
        }
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            return false;
        }
        mMount = at.string();
        return true;
    }

  private:
    fs::path mPath;
    std::string mMount;
};

// Fills the file system of `folder` with a file until no byte more fits.
inline void FillUp(const fs::path& folder) {
    std::ofstream filler(folder / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        filler.flush();
    }
    // The last partial block: byte by byte.
    filler.clear();
    while (filler.put('f') && filler.flush()) {
    }
}

struct Outcome {
    int code = -1;  // the exit code; -1 when a signal ended the program
    int signal = 0;
    std::string out;
    std::string err;
};

inline Outcome Decode(int status) {
    Outcome run;
    if (WIFEXITED(status)) {
        run.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

// Runs a shell command line in `folder`, its standard output and error kept apart.
inline Outcome Shell(const fs::path& folder, const std::string& command) {
    const fs::path out = folder / ".out.txt";
    const fs::path err = folder / ".err.txt";
    const std::string line = "cd '" + folder.string() + "' && " + command + " >'" + out.string() +
                             "' 2>'" + err.string() + "' </dev/null";
    Outcome run = Decode(std::system(line.c_str()));
    // The shell reports a program ended by a signal as 128 + the signal.
    if (run.code > 128 && run.code < 160) {
        run.signal = run.code - 128;
        run.code = -1;
    }
    run.out = ReadText(out);
    run.err = ReadText(err);
    fs::remove(out);
    fs::remove(err);
    return run;
}

// Starts a shell command line in `folder`, in a process group of its own so that a kill
// reaches every process it starts; its output goes to /dev/null.
inline pid_t Start(const fs::path& folder, const std::string& command) {
    const std::string line =
        "cd '" + folder.string() + "' && exec " + command + " >/dev/null 2>&1 </dev/null";
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

inline Outcome Finish(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return Decode(status);
}

// Sends `signal` to the whole group and waits for its leader.
inline Outcome KillGroup(pid_t pid, int signal) {
    kill(-pid, signal);
    const Outcome run = Finish(pid);
    if (signal == SIGKILL) {
        kill(-pid, SIGKILL);  // whatever of the group is left
    }
    return run;
}

// The names in `folder` that contain `part` (".tmp" finds the writers' temporary files).
inline std::vector<std::string> Named(const fs::path& folder, const std::string& part) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.find(part) != std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
}

// A loop that runs at most `rounds` times and stops after `seconds`, having run at least
// `least` times.
class Rounds {
  public:
    Rounds(int rounds, double seconds, int least = 2)
        : mRounds(rounds),
          mLeast(least),
          mEnd(std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds))) {}
    bool Next() {
        if (mDone >= mRounds || (mDone >= mLeast && std::chrono::steady_clock::now() > mEnd)) {
            return false;
        }
        ++mDone;
        return true;
    }
    int Done() const { return mDone; }

  private:
    int mRounds;
    int mLeast;
    int mDone = 0;
    std::chrono::steady_clock::time_point mEnd;
};

// Random delays that a failing run can repeat: the seed is printed with every failure.
class Chance {
  public:
    Chance() : mSeed(static_cast<unsigned>(std::random_device{}())), mEngine(mSeed) {}
    unsigned Seed() const { return mSeed; }
    int Between(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(mEngine);
    }

  private:
    unsigned mSeed;
    std::mt19937 mEngine;
};

inline std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

}  // namespace reliability
