// Claims on ports: a station holds a port from before the device is opened until after it is
// closed, so that two stations never program one unit at the same time. A claim is a lock file
// in the system's lock folder (/run/lock, else the device folder) holding the station's PID, as
// serial-port programs keep theirs, and an advisory lock on it for as long as the claim lasts: a
// station that dies leaves no claim behind.
#pragma once

#include <halyard/ports.h>

#include <sys/types.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halyard::station {

class PortClaim {
  public:
    ~PortClaim();
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    const std::filesystem::path& LockFile() const { return mPath; }

  private:
    friend class PortClaims;
    PortClaim(std::filesystem::path path, int fd) : mPath(std::move(path)), mFd(fd) {}
    std::filesystem::path mPath;
    int mFd = -1;
};

class PortClaims {
  public:
    // Lock files go to the first of `folders` that can be written; by default /run/lock, then
    // the simulated devices' folder.
    explicit PortClaims(std::vector<std::filesystem::path> folders = DefaultFolders());

    static std::vector<std::filesystem::path> DefaultFolders();

    // What names a port's device for its lock, whichever name the port is listed under: for a
    // simulated device its file's real path, else the connection string.
    static std::string DeviceKey(const PortEntry& port);
    // The lock file's name: "LCK..halyard-" and a digest of the device key.
    static std::string LockName(const PortEntry& port);

    // Claims the port for the station `holder` (0: this process), whose PID the lock file
    // names. Null, with the reason in `error` ("port busy (held by PID 1234)"), when another
    // process holds it or no lock folder can be written.
    std::unique_ptr<PortClaim> Claim(const PortEntry& port, std::string& error,
                                     pid_t holder = 0) const;

  private:
    std::vector<std::filesystem::path> mFolders;
};

}  // namespace halyard::station
