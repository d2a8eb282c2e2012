// Sending a spool: the station's records as JSON lines, read from where the database says they
// were last sent up to.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "database.h"
#include "station/record.h"

namespace halyard::station::db {

bool SendSpool(Database& db, const std::string& host, const std::string& spool, uint64_t& position,
               SendCounts& counts, std::string& error) {
    const int fd = ::open(spool.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;  // nothing was spooled yet
        }
        error = "cannot read the spool " + spool + ": " + std::strerror(errno);
        return false;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size >= 0 && static_cast<uint64_t>(size) < position) {
        position = 0;
    }
    const std::string key = SpoolKey(spool);
    std::string pending;  // read, from `position` on, not yet sent
    char buffer[1 << 16];
    bool ok = true;
    while (ok) {
        const ssize_t n =
            ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(position + pending.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = "cannot read the spool " + spool + ": " + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) {
            break;  // a line still being written, if any, is sent the next time
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; ok && (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string line = pending.substr(start, end - start);
            const Json record = Json::parse(line, nullptr, false);
            const SpoolPosition after{host, key, position + end + 1};
            if (!IsUnitRecord(record)) {
                ++counts.skipped;
                continue;
            }
            bool inserted = false;
            if (!StoreRecord(db, record, &after, inserted, error, &line)) {
                ok = false;
                break;
            }
            ++(inserted ? counts.sent : counts.already);
        }
        position += start;
        pending.erase(0, start);
    }
    ::close(fd);
    return ok;
}

std::string DefaultSpoolPath(const DatabaseUrl& url) {
    std::filesystem::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        state = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        state = std::filesystem::path(home) / ".local" / "state";
    } else {
        state = "/tmp";
    }
    return (state / "halyard" / "spool" / (Sha256Hex(url.text).substr(0, 16) + ".jsonl")).string();
}

std::string SpoolKey(const std::string& spool) {
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(spool, ec);
    return ec ? std::filesystem::absolute(spool, ec).lexically_normal().string()
              : canonical.string();
}

}  // namespace halyard::station::db
