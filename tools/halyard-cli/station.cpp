#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

namespace halyard::cli {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The write end of a pipe the signal handler wakes the collecting loop with.
volatile sig_atomic_t gWakeFd = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (gWakeFd >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(gWakeFd, &byte, 1);
    }
    errno = saved;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The child: runs the job and sends its lines and report, one JSON object a line.
[[noreturn]] void RunChild(const Job& job, int fd) {
    const UnitReport report = RunUnit(job, [fd](const std::string& line, bool error) {
        WriteAll(fd, JsonText(Json{{"line", line}, {"error", error}}) + "\n");
    });
    const bool sent = WriteAll(fd, JsonText(Json{{"report", ToJson(report)}}) + "\n");
    ::_exit(sent ? 0 : 1);
}

struct Child {
    size_t job = 0;
    pid_t pid = -1;
    int fd = -1;
    std::string pending;  // the part of a line not yet complete
    std::optional<Json> report;
    std::chrono::steady_clock::time_point start;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void TakeLines(Child& child, const StationEvents& events) {
    size_t start = 0;
    for (size_t end; (end = child.pending.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const Json message = Json::parse(child.pending.substr(start, end - start), nullptr, false);
        if (!message.is_object()) {
            continue;
        }
        if (const auto line = message.find("line"); line != message.end() && line->is_string()) {
            const auto error = message.find("error");
            events.line(child.job, line->get<std::string>(),
                        error != message.end() && error->is_boolean() && error->get<bool>());
        } else if (const auto report = message.find("report");
                   report != message.end() && report->is_object()) {
            child.report = *report;
        }
    }
    child.pending.erase(0, start);
}

// The report of a child that ended without sending one.
Json LostReport(const Job& job, int status, bool interrupted, double seconds) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        // Ctrl-C at a terminal reaches the children as well as this process.
        if (sig == SIGINT || (interrupted && (sig == SIGTERM || sig == SIGHUP))) {
            return ToJson(LostUnit(job, "interrupted", "interrupted before it finished", seconds));
        }
        return ToJson(LostUnit(job, "failed",
                               "the device's process crashed (signal " + std::to_string(sig) +
                                   ", " + strsignal(sig) + ") before it finished",
                               seconds));
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ToJson(LostUnit(
        job, interrupted ? "interrupted" : "failed",
        "the device's process ended (exit status " + std::to_string(code) + ") without a result",
        seconds));
}

void Reap(Child& child, const Job& job, bool interrupted, const StationEvents& events) {
    ::close(child.fd);
    child.fd = -1;
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    events.report(child.job, child.report
                                 ? *child.report
                                 : LostReport(job, status, interrupted, SecondsSince(child.start)));
}

// The stop signals wake the collecting loop through a pipe while the station runs.
class StopSignals {
  public:
    StopSignals() {
        if (::pipe2(mPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            mPipe[0] = mPipe[1] = -1;
            return;
        }
        gWakeFd = mPipe[1];
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kStopSignals); ++i) {
            ::sigaction(kStopSignals[i], &action, &mPrevious[i]);
        }
    }
    ~StopSignals() {
        if (mPipe[0] < 0) {
            return;
        }
        for (size_t i = 0; i < std::size(kStopSignals); ++i) {
            ::sigaction(kStopSignals[i], &mPrevious[i], nullptr);
        }
        gWakeFd = -1;
        ::close(mPipe[0]);
        ::close(mPipe[1]);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int ReadFd() const { return mPipe[0]; }
    // In a child: the signals do what they do by default, and the pipe is not the child's.
    void ResetInChild() {
        for (size_t i = 0; i < std::size(kStopSignals); ++i) {
            ::signal(kStopSignals[i], SIG_DFL);
        }
        ::close(mPipe[0]);
        ::close(mPipe[1]);
    }
    bool Drain() {
        char buffer[64];
        bool any = false;
        while (::read(mPipe[0], buffer, sizeof buffer) > 0) {
            any = true;
        }
        return any;
    }

  private:
    int mPipe[2] = {-1, -1};
    struct sigaction mPrevious[std::size(kStopSignals)]{};
};

}  // namespace

bool RunStation(const std::vector<Job>& jobs, const StationEvents& events) {
    StopSignals signals;
    std::vector<Child> children;
    const pid_t parent = ::getpid();
    // Output still buffered here would otherwise be written again by every child.
    std::fflush(stdout);
    std::fflush(stderr);
    for (size_t i = 0; i < jobs.size(); ++i) {
        Child child;
        child.job = i;
        child.start = std::chrono::steady_clock::now();
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            events.report(
                i, ToJson(LostUnit(jobs[i], "failed",
                                   std::string("cannot start: ") + std::strerror(errno), 0)));
            continue;
        }
        // The stop signals wait while the child starts: one that came between the fork and the
        // child's reset would run this process's handler in the child and be lost there.
        sigset_t stops;
        sigset_t previous;
        sigemptyset(&stops);
        for (const int sig : kStopSignals) {
            sigaddset(&stops, sig);
        }
        ::sigprocmask(SIG_BLOCK, &stops, &previous);
        const pid_t pid = ::fork();
        if (pid == 0) {
            signals.ResetInChild();
            ::sigprocmask(SIG_SETMASK, &previous, nullptr);
            // A child ends with this process, however this process ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) {
                ::_exit(1);
            }
            ::close(fds[0]);
            for (const Child& other : children) {
                ::close(other.fd);
            }
            RunChild(jobs[i], fds[1]);
        }
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            events.report(
                i, ToJson(LostUnit(jobs[i], "failed",
                                   std::string("cannot start: ") + std::strerror(errno), 0)));
            continue;
        }
        child.pid = pid;
        child.fd = fds[0];
        children.push_back(std::move(child));
    }

    bool interrupted = false;
    size_t running = children.size();
    while (running > 0) {
        std::vector<pollfd> polled;
        polled.push_back({signals.ReadFd(), POLLIN, 0});
        for (const Child& child : children) {
            if (child.fd >= 0) {
                polled.push_back({child.fd, POLLIN, 0});
            }
        }
        if (::poll(polled.data(), polled.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (polled[0].revents != 0 && signals.Drain() && !interrupted) {
            interrupted = true;
            for (const Child& child : children) {
                if (child.fd >= 0) {
                    ::kill(child.pid, SIGTERM);
                }
            }
        }
        size_t next = 1;
        for (Child& child : children) {
            if (child.fd < 0) {
                continue;
            }
            const pollfd& p = polled[next++];
            if (p.revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(child.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n > 0) {
                child.pending.append(buffer, static_cast<size_t>(n));
                TakeLines(child, events);
                continue;
            }
            // The child closed its pipe: it has ended, or is about to.
            Reap(child, jobs[child.job], interrupted, events);
            --running;
        }
    }
    // Only when waiting itself failed: no child is left behind unreported.
    for (Child& child : children) {
        if (child.fd >= 0) {
            ::kill(child.pid, SIGTERM);
            Reap(child, jobs[child.job], true, events);
        }
    }
    return !interrupted;
}

}  // namespace halyard::cli
