#include "common/userfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnak {

namespace {

constexpr int kMaxLinkHops = 40;  // as many as the kernel follows

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

std::string Reason(int error) {
    return std::strerror(error);
}

// Whether the kernel's link protection lets the caller follow `link` (its lstat in `linkStat`).
bool MayFollow(const std::filesystem::path& link, const struct stat& linkStat) {
    const std::filesystem::path folder = link.parent_path().empty() ? "." : link.parent_path();
    struct stat folderStat {};
    if (::stat(folder.c_str(), &folderStat) != 0) {
        return true;  // the folder cannot be looked at: the open that follows fails on its own
    }
    const bool shared = (folderStat.st_mode & S_ISVTX) != 0 && (folderStat.st_mode & S_IWOTH) != 0;
    return !shared || linkStat.st_uid == ::geteuid() || linkStat.st_uid == folderStat.st_uid;
}

// Follows the links of `path` under the rule of the header. `end` gets the first entry of the
// chain that is not a link (or does not exist).
bool FollowLinks(const std::filesystem::path& path, std::filesystem::path& end,
                 std::string* error) {
    std::filesystem::path at = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            end = at;
            return true;
        }
        if (!MayFollow(at, st)) {
            return Fail(error, "will not follow the link " + at.string() +
                                   ": it lies in a folder anyone may write to and belongs "
                                   "neither to you nor to the folder's owner");
        }
        std::error_code ec;
        const std::filesystem::path next = std::filesystem::read_symlink(at, ec);
        if (ec) {
            return Fail(error, "cannot read the link " + at.string() + ": " + ec.message());
        }
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    return Fail(error, "cannot follow " + path.string() + ": " + Reason(ELOOP));
}

// Whether the caller may write a file with these permissions.
bool MayWrite(const std::filesystem::path& path, const struct stat& st) {
    if (::geteuid() == 0) {
        return (st.st_mode & 0222) != 0;
    }
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

}  // namespace

bool ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target,
                        std::string* error) {
    std::filesystem::path end;
    if (!FollowLinks(path, end, error)) {
        return false;
    }
    struct stat st {};
    if (::stat(end.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return Fail(error, "cannot replace " + end.string() + ": " + Reason(EISDIR));
        }
        if (!S_ISREG(st.st_mode)) {
            return Fail(error, "cannot replace " + end.string() + ": it is not a regular file");
        }
        if (!MayWrite(end, st)) {
            return Fail(error, "cannot replace " + end.string() + ": the file is read-only");
        }
    }
    target = end;
    return true;
}

int OpenForAppending(const std::filesystem::path& path, std::string* error) {
    std::filesystem::path end;
    if (!FollowLinks(path, end, error)) {
        return -1;
    }
    // The kernel follows the checked chain itself: it also knows the links of /proc/self/fd,
    // whose targets are no paths. Non-blocking, so that a FIFO without a reader fails at once.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        Fail(error, "cannot open " + path.string() + ": " + Reason(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && !MayWrite(path, st))) {
        ::close(fd);
        Fail(error, "cannot write " + path.string() + ": the file is read-only");
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

bool ReadRegularFile(const std::filesystem::path& path, std::string& text, std::string* error) {
    std::filesystem::path end;
    if (!FollowLinks(path, end, error)) {
        return false;
    }
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return Fail(error, "cannot open " + path.string() + ": " + Reason(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool folder = S_ISDIR(st.st_mode);
        ::close(fd);
        return Fail(error, path.string() +
                               (folder ? " is a folder, not a file" : " is not a regular file"));
    }
    ::fcntl(fd, F_SETFL, 0);
    std::string contents;
    contents.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            return Fail(error, "cannot read " + path.string() + ": " + Reason(saved));
        }
        if (n == 0) {
            break;
        }
        contents.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    text = std::move(contents);
    return true;
}

}  // namespace varnak
