#include "common/filelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnak {

std::filesystem::path LockPathFor(const std::filesystem::path& file) {
    return file.parent_path() / ("." + file.filename().string() + ".lock");
}

FileLock::FileLock(const std::filesystem::path& file) {
    const std::filesystem::path path = LockPathFor(file);
    // A lock file is never a link: one planted in a shared folder must not make this program
    // create or open a file elsewhere.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        mError = "cannot open the lock file " + path.string() + ": " + std::strerror(errno);
        return;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        mError = "cannot lock " + path.string() + ": " + std::strerror(errno);
        ::close(fd);
        return;
    }
    mFd = fd;
}

FileLock::~FileLock() {
    if (mFd >= 0) {
        ::close(mFd);  // closing the only descriptor of the open file releases the lock
    }
}

}  // namespace varnak
