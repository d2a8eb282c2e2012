#include "common/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace varnak {

namespace {

// The file a write to `path` should replace: the end of a chain of symbolic links, so that
// replacing a linked settings file keeps the link.
std::filesystem::path ResolveTarget(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path resolved = path;
    for (int hops = 0; hops < 40 && std::filesystem::is_symlink(resolved, ec); ++hops) {
        std::filesystem::path next = std::filesystem::read_symlink(resolved, ec);
        if (ec) {
            break;
        }
        resolved = next.is_absolute() ? next : resolved.parent_path() / next;
    }
    return resolved;
}

mode_t ModeFor(const std::filesystem::path& target) {
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        return existing.st_mode & 07777;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
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

AtomicFileWriter::AtomicFileWriter(std::filesystem::path target) : mTarget(ResolveTarget(target)) {}

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
    // The temporary name starts with a dot so folder listings that skip hidden files (the
    // simulated device folder, a shell glob) never take a half-written file for a real one.
    struct stat existing {};
    if (::stat(mTarget.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return Fail("cannot replace", mTarget);  // before any work that could not be kept
    }
    const std::filesystem::path folder = mTarget.parent_path();
    std::string temporary = (folder / ("." + mTarget.filename().string() + ".tmpXXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return Fail("cannot create a temporary file beside", mTarget);
    }
    mFd = fd;
    mTemporary = std::move(temporary);
    return true;
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
            Fail("nothing was opened to replace", mTarget);
        }
        return false;
    }
    if (mFailed) {
        Abort();
        return false;
    }
    bool ok =
        ::fchmod(mFd, ModeFor(mTarget)) == 0 || Fail("cannot set the permissions of", mTarget);
    ok = ok && (::fsync(mFd) == 0 || Fail("cannot write", mTarget));
    const int fd = mFd;
    mFd = -1;
    if (::close(fd) != 0 && ok) {
        ok = Fail("cannot write", mTarget);
    }
    ok = ok &&
         (std::rename(mTemporary.c_str(), mTarget.c_str()) == 0 || Fail("cannot replace", mTarget));
    if (!ok) {
        ::unlink(mTemporary.c_str());
        mTemporary.clear();
        return false;
    }
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
