#include "common/atomicfile.h"

#include "common/userfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace varnak {

namespace {

constexpr std::string_view kTemporaryMark = ".tmp";
constexpr std::string_view kTemporaryPattern = "XXXXXX";  // mkostemp's random characters

// ".NAME.tmp", the start of every temporary file name of `target`.
std::string TemporaryPrefix(const std::filesystem::path& target) {
    return "." + target.filename().string() + std::string(kTemporaryMark);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `fd`, opened as `path`, is still the file that `path` names.
bool StillNamed(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           SameFile(opened, named);
}

// Removes the temporary files of `target` that no writer holds any more: those of programs
// that died while writing. A live writer holds the lock on its file, so it is left alone.
void RemoveAbandonedTemporaries(const std::filesystem::path& target, const std::string& own) {
    const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    const std::string prefix = TemporaryPrefix(target);
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name.size() != prefix.size() + kTemporaryPattern.size() ||
            name.substr(0, prefix.size()) != prefix) {
            continue;
        }
        const std::string path = (folder / std::string(name)).string();
        if (path == own) {
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            continue;  // gone meanwhile, or another user's
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            StillNamed(fd, path)) {
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
    ::closedir(listing);
}

bool SyncFolder(const std::filesystem::path& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot
    ::close(fd);
    return synced;
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(std::filesystem::path path) : mPath(std::move(path)) {}

AtomicFileWriter::~AtomicFileWriter() {
    Abort();
}

bool AtomicFileWriter::Fail(const char* what, const std::filesystem::path& path) {
    const int saved = errno;
    mFailed = true;
    mError = std::string(what) + " " + path.string() + ": " + std::strerror(saved);
    errno = saved;
    return false;
}

bool AtomicFileWriter::Open() {
    Abort();
    mFailed = false;
    mError.clear();
    // Checked before any work that could not be kept.
    if (!ResolveWriteTarget(mPath, mTarget, &mError)) {
        mFailed = true;
        return false;
    }
    if (!CreateTemporary()) {
        return false;
    }
    RemoveAbandonedTemporaries(mTarget, mTemporary);
    return true;
}

// The temporary name starts with a dot so folder listings that skip hidden files (the
// simulated device folder, a shell glob) never take a half-written file for a real one.
bool AtomicFileWriter::CreateTemporary() {
    const std::string pattern =
        (mTarget.parent_path() / (TemporaryPrefix(mTarget) + std::string(kTemporaryPattern)))
            .string();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temporary = pattern;
        const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
        if (fd < 0) {
            return Fail("cannot create a temporary file beside", mTarget);
        }
        // Between its creation and its lock another writer may take the file for a leftover and
        // remove it; then this one starts again with a new file.
        if (::flock(fd, LOCK_EX) == 0 && StillNamed(fd, temporary)) {
            mFd = fd;
            mTemporary = std::move(temporary);
            return true;
        }
        ::close(fd);
    }
    errno = EAGAIN;
    return Fail("cannot create a temporary file beside", mTarget);
}

bool AtomicFileWriter::Write(std::string_view data) {
    if (mFd < 0 || mFailed) {
        mFailed = true;
        return false;
    }
    while (!data.empty()) {
        const ssize_t n = ::write(mFd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return Fail("cannot write", mTarget);
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool AtomicFileWriter::Commit() {
    if (mFd < 0) {
        if (mError.empty()) {
            errno = EBADF;
            Fail("nothing was opened to replace", mTarget.empty() ? mPath : mTarget);
        }
        return false;
    }
    if (mFailed) {
        Abort();
        return false;
    }
    // The new file takes the old one's permissions, and its owner and group when root replaces
    // another user's file; a user who cannot give the file away keeps at least its group.
    struct stat existing {};
    bool ok = true;
    if (::stat(mTarget.c_str(), &existing) == 0) {
        // Owner first: a change of owner clears the set-id bits that the mode then restores.
        if (::fchown(mFd, existing.st_uid, existing.st_gid) != 0 &&
            ::fchown(mFd, static_cast<uid_t>(-1), existing.st_gid) != 0) {
            // Not a member of the file's group either: the new file is the caller's alone.
        }
        ok = ::fchmod(mFd, existing.st_mode & 07777) == 0 ||
             Fail("cannot set the permissions of", mTarget);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ok = ::fchmod(mFd, 0666 & ~mask) == 0 || Fail("cannot set the permissions of", mTarget);
    }
    ok = ok && (::fsync(mFd) == 0 || Fail("cannot write", mTarget));
    ok = ok &&
         (std::rename(mTemporary.c_str(), mTarget.c_str()) == 0 || Fail("cannot replace", mTarget));
    // Closed only now: the lock on the temporary file shows it is in use until it is renamed.
    const int fd = mFd;
    mFd = -1;
    if (!ok) {
        ::unlink(mTemporary.c_str());
        ::close(fd);
        mTemporary.clear();
        return false;
    }
    ::close(fd);
    mTemporary.clear();
    // The new contents are in place; a folder that cannot be flushed only weakens how well the
    // rename survives a power cut, so it is reported but the file is not taken back.
    if (!SyncFolder(mTarget.parent_path())) {
        Fail("cannot flush the folder of", mTarget);
    }
    return true;
}

void AtomicFileWriter::Abort() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
    if (!mTemporary.empty()) {
        ::unlink(mTemporary.c_str());
        mTemporary.clear();
    }
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error) {
    AtomicFileWriter writer(path);
    const bool ok = writer.Open() && writer.Write(contents) && writer.Commit();
    if (!ok && error != nullptr) {
        *error = writer.Error();
    }
    return ok;
}

}  // namespace varnak
