#include "portclaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <velorum/devicefile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record.h"

namespace halyard::station {

namespace {

// The PID a lock file names, or 0.
long HolderOf(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? std::strtol(text, nullptr, 10) : 0;
}

}  // namespace

PortClaim::~PortClaim() {
    // Removed while still locked, so a station waiting on this file finds it gone and starts
    // over with a new one.
    ::unlink(mPath.c_str());
    ::close(mFd);
}

PortClaims::PortClaims(std::vector<std::filesystem::path> folders) : mFolders(std::move(folders)) {}

std::vector<std::filesystem::path> PortClaims::DefaultFolders() {
    return {"/run/lock", varnak::sim::DeviceDirectory()};
}

std::string PortClaims::DeviceKey(const PortEntry& port) {
    const std::string_view connection = port.connection;
    std::string name;
    if (connection.starts_with(varnak::sim::kTransportPrefix)) {
        name = connection.substr(varnak::sim::kTransportPrefix.size());
    } else if (connection == PortTable::kUsbDevicePath) {
        name = varnak::sim::kUsbDeviceName;
    } else {
        return port.connection;
    }
    const std::filesystem::path file =
        varnak::sim::DevicePath(varnak::sim::DeviceDirectory(), name);
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(file, ec);
    return (ec ? std::filesystem::absolute(file, ec) : real).string();
}

std::string PortClaims::LockName(const PortEntry& port) {
    return "LCK..halyard-" + Sha256Hex(DeviceKey(port)).substr(0, 24);
}

std::unique_ptr<PortClaim> PortClaims::Claim(const PortEntry& port, std::string& error,
                                             pid_t holder) const {
    const std::string name = LockName(port);
    std::string why = "no lock folder";
    for (const std::filesystem::path& folder : mFolders) {
        if (::access(folder.c_str(), W_OK) != 0) {
            why = "cannot write " + folder.string() + ": " + std::strerror(errno);
            continue;
        }
        const std::filesystem::path path = folder / name;
        // A claim whose file was removed by its holder as this station opened it is retried
        // on a new file; the loop ends because every pass finds a holder or locks.
        for (;;) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) {
                why = "cannot open " + path.string() + ": " + std::strerror(errno);
                break;
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                const long holder = HolderOf(fd);
                ::close(fd);
                error = "port busy (held by PID " + std::to_string(holder) + ")";
                return nullptr;
            }
            struct stat opened {};
            struct stat named {};
            if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
                opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
                ::close(fd);
                continue;
            }
            char pid[16];
            const int length = std::snprintf(pid, sizeof pid, "%10ld\n",
                                             static_cast<long>(holder != 0 ? holder : ::getpid()));
            if (::ftruncate(fd, 0) != 0 ||
                ::pwrite(fd, pid, static_cast<size_t>(length), 0) != length) {
                why = "cannot write " + path.string() + ": " + std::strerror(errno);
                ::unlink(path.c_str());
                ::close(fd);
                break;
            }
            return std::unique_ptr<PortClaim>(new PortClaim(path, fd));
        }
    }
    error = "cannot claim the port: " + why;
    return nullptr;
}

}  // namespace halyard::station
