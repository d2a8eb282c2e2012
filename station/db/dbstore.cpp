#include "dbstore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "common/fdwrite.h"

namespace halyard::station::db {

namespace {

using varnak::WriteAll;

// How long the end of a run waits for a sender that does not end after it was told to (a
// connection attempt in progress); then it is ended, and its records wait in the spool.
constexpr int kSenderExitMs = 6000;

}  // namespace

DatabaseStore::DatabaseStore(DatabaseUrl url, std::string spool, std::string host)
    : mUrl(std::move(url)), mSpoolPath(std::move(spool)), mHost(std::move(host)) {}

DatabaseStore::~DatabaseStore() {
    Stop();
}

bool DatabaseStore::Open(std::string& error) {
    // The default spool's folder is made on first use.
    const std::filesystem::path folder = std::filesystem::path(mSpoolPath).parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
    }
    if (!mSpool.Open(mSpoolPath, error)) {
        return false;
    }
    int wake[2] = {-1, -1};
    int report[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("cannot start the database sender: ") + std::strerror(errno);
        if (report[0] < 0 && wake[0] >= 0) {
            ::close(wake[0]);
            ::close(wake[1]);
        }
        return false;
    }
    // Output still buffered here would otherwise be written again by the sender.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(wake[1]);
        ::close(report[0]);
        SendInChild(wake[0], report[1]);
    }
    const int forkError = errno;
    ::close(wake[0]);
    ::close(report[1]);
    if (pid < 0) {
        ::close(wake[1]);
        ::close(report[0]);
        error = std::string("cannot start the database sender: ") + std::strerror(forkError);
        return false;
    }
    mSender = pid;
    mWakeFd = wake[1];
    mReportFd = report[0];
    ::fcntl(mReportFd, F_SETFL, O_NONBLOCK);
    return true;
}

void DatabaseStore::SendInChild(int wakeFd, int reportFd) const {
    // Ctrl-C reaches the whole process group; the station decides when the sender stops (it
    // closes the wake pipe). It ends with the station, however the station ends.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const std::string shown = mUrl.Shown();
    const auto report = [reportFd](const std::string& line) {
        if (!WriteAll(reportFd, line + "\n")) {
            ::_exit(1);  // the station has gone
        }
    };
    std::unique_ptr<Database> db;
    uint64_t position = 0;
    bool toldDown = false;
    bool finishing = false;
    bool open = true;
    while (open) {
        std::string error;
        bool ok = true;
        if (!db) {
            db = Database::Open(mUrl, error);
            ok = db && SentPosition(*db, mHost, SpoolKey(mSpoolPath), position, error);
        }
        SendCounts counts;
        ok = ok && SendSpool(*db, mHost, mSpoolPath, position, counts, error);
        if (!ok && db) {
            // Whatever failed (a lost connection, a full disk, a lock held too long), the next
            // attempt starts on a new connection from the position the database holds.
            db.reset();
        }
        if (ok) {
            report("S " + std::to_string(position));
            if (toldDown) {
                report("N database " + shown +
                       ": reachable again; the records that waited are sent");
                toldDown = false;
            }
        } else {
            std::string line = error + "; records wait in the spool " + mSpoolPath;
            for (char& c : line) {
                c = c == '\n' ? ' ' : c;
            }
            if (!toldDown) {
                report("N database " + shown + ": " + line);
                toldDown = true;
            }
            report("D");
        }
        // Wait for a record, or for the time to try again; the run's end does not wait.
        pollfd wake{wakeFd, POLLIN, 0};
        const int timeout = ok ? -1 : finishing ? 0 : static_cast<int>(retryInterval.count());
        if (::poll(&wake, 1, timeout) < 0 && errno != EINTR) {
            break;
        }
        if (wake.revents != 0) {
            char buffer[256];
            const ssize_t n = ::read(wakeFd, buffer, sizeof buffer);
            open = n > 0 || (n < 0 && errno == EINTR);
            for (ssize_t i = 0; i < n; ++i) {
                finishing = finishing || buffer[i] == 'F';
            }
        }
        if (!ok && finishing && wake.revents == 0) {
            break;  // told to finish, tried once more, still down: the records wait
        }
    }
    ::_exit(0);
}

bool DatabaseStore::Store(const Json& record, std::string& error) {
    if (!mSpool.Store(record, error)) {
        return false;
    }
    mOwnEnds.push_back(mSpool.LastEnd());
    if (mWakeFd >= 0) {
        WriteAll(mWakeFd, "R");
    }
    return true;
}

void DatabaseStore::TakeReports(int waitMs) {
    if (mReportFd < 0) {
        return;
    }
    pollfd from{mReportFd, POLLIN, 0};
    if (waitMs > 0 && ::poll(&from, 1, waitMs) <= 0) {
        return;
    }
    char buffer[4096];
    for (ssize_t n; (n = ::read(mReportFd, buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // nothing more for now
        }
        mPending.append(buffer, static_cast<size_t>(n));
    }
    size_t start = 0;
    for (size_t end; (end = mPending.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = mPending.substr(start, end - start);
        if (line.rfind("S ", 0) == 0) {
            const uint64_t sentTo = std::stoull(line.substr(2));
            while (!mOwnEnds.empty() && mOwnEnds.front() <= sentTo) {
                mOwnEnds.pop_front();
            }
        } else if (line.rfind("N ", 0) == 0) {
            mNotices.push_back(line.substr(2));
        } else if (line == "D") {
            ++mFailures;
        }
    }
    mPending.erase(0, start);
}

std::vector<std::string> DatabaseStore::TakeNotices() {
    TakeReports(0);
    return std::exchange(mNotices, {});
}

void DatabaseStore::Stop() {
    if (mWakeFd >= 0) {
        ::close(mWakeFd);  // the sender ends when it reads the end of the pipe
        mWakeFd = -1;
    }
    if (mSender > 0) {
        // A sender in the middle of a connection attempt is given a few seconds, then ended.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kSenderExitMs);
        int status = 0;
        pid_t reaped;
        while ((reaped = ::waitpid(mSender, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            TakeReports(50);
        }
        if (reaped == 0) {
            ::kill(mSender, SIGKILL);
            while (::waitpid(mSender, &status, 0) < 0 && errno == EINTR) {
            }
        }
        mSender = -1;
    }
    TakeReports(0);
    if (mReportFd >= 0) {
        ::close(mReportFd);
        mReportFd = -1;
    }
}

std::vector<std::string> DatabaseStore::Finish(std::chrono::milliseconds wait) {
    if (mWakeFd >= 0) {
        // Wait while records are on their way, but not for a database that is down: one more
        // attempt after this point tells.
        TakeReports(0);
        const unsigned failures = mFailures;
        WriteAll(mWakeFd, "F");
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!mOwnEnds.empty() && mFailures == failures &&
               std::chrono::steady_clock::now() < deadline) {
            TakeReports(50);
        }
    }
    Stop();
    std::vector<std::string> notices = std::exchange(mNotices, {});
    if (!mOwnEnds.empty()) {
        notices.push_back(std::to_string(mOwnEnds.size()) +
                          (mOwnEnds.size() == 1 ? " record waits" : " records wait") +
                          " in the spool " + mSpoolPath +
                          " for the database; they are sent at the next run with --db or by "
                          "'halyard-cli db sync'");
    }
    return notices;
}

}  // namespace halyard::station::db
