#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/userfiles.h"

#include "store.h"
#include "unit.h"

namespace halyard::station {

LogFileStore::~LogFileStore() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

bool LogFileStore::Open(const std::string& path, std::string& error) {
    mPath = path;
    // A link planted in a shared folder is not followed, nor is a file made read-only appended to.
    std::string why;
    mFd = varnak::OpenForAppending(path, &why);
    if (mFd < 0) {
        error = "cannot open the log " + path + ": " + why;
        return false;
    }
    return true;
}

bool LogFileStore::Store(const nlohmann::ordered_json& record, std::string& error) {
    if (mFd < 0) {
        error = "the log is not open";
        return false;
    }
    const std::string line = JsonText(record) + "\n";
    while (::flock(mFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    // Under the lock the end of the file is where this line starts: another station appends
    // only while it holds the lock.
    struct stat before {};
    const bool sized = ::fstat(mFd, &before) == 0;
    bool ok = sized;
    int failure = sized ? 0 : errno;
    for (size_t done = 0; ok && done < line.size();) {
        const ssize_t n = write ? write(mFd, line.data() + done, line.size() - done)
                                : ::write(mFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    bool cut = true;
    if (!ok && sized) {
        // Part of the line may be in the file: take it out again, so the next line starts on
        // a line of its own.
        cut = ::ftruncate(mFd, before.st_size) == 0;
    }
    ::flock(mFd, LOCK_UN);
    if (ok) {
        mLastEnd = static_cast<uint64_t>(before.st_size) + line.size();
    }
    if (!ok) {
        error = "cannot append to the log " + mPath + ": " + std::strerror(failure) +
                (cut ? "" : "; the part written could not be removed");
    }
    return ok;
}

}  // namespace halyard::station
