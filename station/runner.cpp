#include "runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "common/fdwrite.h"

namespace halyard::station {

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The descriptor a child writes its messages to; every other one above it is closed.
constexpr int kChildPipeFd = 3;

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

using varnak::WriteAll;

// What a child sends: one message a line, a letter for its kind and a JSON text; the letter
// lets the station skip reading what it does not need.
constexpr char kLineMessage = 'L';      // {"line": TEXT, "error": BOOL}
constexpr char kProgressMessage = 'P';  // the report so far
constexpr char kReportMessage = 'R';    // the report

// The child: claims the port for the station, runs the job and sends its lines, its progress
// and its report. The claim is the child's, so that each unit pays for
// its own lock file and the station's loop does not pay for all of them in turn; it lasts from
// before the device is opened until after it is closed, and a child that is killed loses its
// lock with its life.
[[noreturn]] void RunChild(const Job& job, int fd, const PortClaims* claims, pid_t station) {
    UnitSinks sinks;
    sinks.line = [fd](const std::string& line, bool error) {
        WriteAll(fd, kLineMessage + JsonText(Json{{"line", line}, {"error", error}}) + "\n");
    };
    sinks.progress = [fd](const UnitReport& soFar) {
        WriteAll(fd, kProgressMessage + JsonText(ToJson(soFar)) + "\n");
    };
    UnitReport report;
    std::unique_ptr<PortClaim> claim;
    std::string busy;
    if (claims && !(claim = claims->Claim(job.port, busy, station))) {
        report = EndedUnit(job, std::nullopt, "failed", busy, 0);
    } else {
        report = RunUnit(job, sinks);
    }
    claim.reset();
    const bool sent = WriteAll(fd, kReportMessage + JsonText(ToJson(report)) + "\n");
    ::_exit(sent ? 0 : 1);
}

// A descriptor that turns readable when the process ends, or -1 on a kernel without them.
// (Through syscall(): the C library's header for it lacks C linkage in some versions.)
int OpenPidFd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// The stop signals wake the collecting loop through a pipe while the runner runs.
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
    // In a child: Ctrl-C at the terminal reaches the whole process group, but whether a unit
    // stops is this process's choice (it sends SIGTERM); the other signals do what they do by
    // default.
    static void ResetInChild() {
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
    }
    // The number of signals that came since the last call.
    int Drain() {
        char buffer[64];
        int count = 0;
        for (ssize_t n; (n = ::read(mPipe[0], buffer, sizeof buffer)) > 0;) {
            count += static_cast<int>(n);
        }
        return count;
    }

  private:
    int mPipe[2] = {-1, -1};
    struct sigaction mPrevious[std::size(kStopSignals)]{};
};

}  // namespace

// The collecting loop shared by Run and Watch: queued jobs, running children, time-outs, stops.
struct Runner::Loop {
    struct Child {
        size_t unit = 0;
        Job job;
        pid_t pid = -1;
        int fd = -1;               // the child's pipe, until it is closed
        int pidfd = -1;            // once the pipe closed: readable when the child has ended
        std::string pending;       // the part of a line not yet complete
        std::string lastProgress;  // the last progress message, read only when needed
        std::optional<UnitReport> report;
        Steady::time_point start;
        WallClock::time_point wallStart;
        bool timedOut = false;
    };

    Loop(const RunnerOptions& options, const RunnerEvents& events)
        : options(options), events(events), parent(::getpid()) {
        // Output still buffered here would otherwise be written again by every child.
        std::fflush(stdout);
        std::fflush(stderr);
    }

    void Queue(const Job& job) { queued.push_back({nextUnit++, job}); }

    void Finish(size_t unit, UnitReport report, WallClock::time_point start) {
        events.finished(unit, report, start, WallClock::now());
    }

    // Starts queued jobs while there is room.
    void StartQueued() {
        while (!queued.empty() && (options.maxUnits == 0 || children.size() < options.maxUnits)) {
            auto [unit, job] = std::move(queued.front());
            queued.pop_front();
            Start(unit, job);
        }
    }

    void NotStarted(size_t unit, const Job& job, int error, WallClock::time_point start) {
        Finish(unit,
               EndedUnit(job, std::nullopt, "failed",
                         std::string("cannot start: ") + std::strerror(error), 0),
               start);
    }

    void Start(size_t unit, const Job& job) {
        const WallClock::time_point wallStart = WallClock::now();
        if (events.started) {
            events.started(unit, job);
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            NotStarted(unit, job, errno, wallStart);
            return;
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
            StopSignals::ResetInChild();
            ::sigprocmask(SIG_SETMASK, &previous, nullptr);
            // A child ends with this process, however this process ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) {
                ::_exit(1);
            }
            // The child keeps its pipe and the standard streams only: no other unit's pipe, no
            // log.
            if (fds[1] != kChildPipeFd && ::dup2(fds[1], kChildPipeFd) < 0) {
                ::_exit(1);
            }
            ::close_range(kChildPipeFd + 1, ~0U, 0);
            RunChild(job, kChildPipeFd, options.claims, parent);
        }
        const int forkError = errno;
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            NotStarted(unit, job, forkError, wallStart);
            return;
        }
        Child child;
        child.unit = unit;
        child.job = job;
        child.pid = pid;
        child.fd = fds[0];
        child.start = Steady::now();
        child.wallStart = wallStart;
        children.push_back(std::move(child));
    }

    void TakeLines(Child& child) {
        size_t start = 0;
        for (size_t end; (end = child.pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (end == start) {
                continue;
            }
            const char kind = child.pending[start];
            const std::string_view text =
                std::string_view(child.pending).substr(start + 1, end - start - 1);
            if (kind == kProgressMessage) {
                // Each progress message holds all that was known by then: only the last counts,
                // and is read only when a unit ends without its report or a display shows it.
                child.lastProgress = text;
                if (events.progress) {
                    events.progress(child.unit, *LastKnown(child));
                }
                continue;
            }
            const Json message = Json::parse(text, nullptr, false);
            if (!message.is_object()) {
                continue;
            }
            if (kind == kLineMessage) {
                const auto line = message.find("line");
                const auto error = message.find("error");
                if (line != message.end() && line->is_string()) {
                    events.line(
                        child.unit, line->get<std::string>(),
                        error != message.end() && error->is_boolean() && error->get<bool>());
                }
            } else if (kind == kReportMessage) {
                child.report = FromJson(message);
            }
        }
        child.pending.erase(0, start);
    }

    // What the child reported last, if it reported anything.
    static std::optional<UnitReport> LastKnown(const Child& child) {
        if (child.lastProgress.empty()) {
            return std::nullopt;
        }
        const Json progress = Json::parse(child.lastProgress, nullptr, false);
        if (!progress.is_object()) {
            return std::nullopt;
        }
        return FromJson(progress);
    }

    // The report of a child that ended without sending one.
    UnitReport LostReport(const Child& child, int status, double seconds) const {
        const std::optional<UnitReport> last = LastKnown(child);
        const std::string doing =
            ActivityAfter(last ? last->stage : kUntouched, child.job.operation);
        if (child.timedOut) {
            return EndedUnit(
                child.job, last, "failed",
                "timed out after " + SecondsText(options.timeoutSeconds) + " s while " + doing,
                seconds);
        }
        if (WIFSIGNALED(status)) {
            const int sig = WTERMSIG(status);
            if (sig == SIGINT || (interrupted && (sig == SIGTERM || sig == SIGHUP))) {
                return EndedUnit(child.job, last, "interrupted", "interrupted while " + doing,
                                 seconds);
            }
            return EndedUnit(child.job, last, "failed",
                             "the device's process crashed (signal " + std::to_string(sig) + ", " +
                                 strsignal(sig) + ") while " + doing,
                             seconds);
        }
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return EndedUnit(child.job, last, interrupted ? "interrupted" : "failed",
                         "the device's process ended (exit status " + std::to_string(code) +
                             ") without a result, while " + doing,
                         seconds);
    }

    // Once its pipe has closed, a child is reaped when it has ended: waiting for it here would
    // hold every other unit up while it finishes exiting. False while it has not ended yet.
    bool Reap(Child& child) {
        if (child.fd >= 0) {
            ::close(child.fd);
            child.fd = -1;
            // Opened only now, so that a unit holds one descriptor here while it runs. It refers
            // to the child even when the child has already ended, as long as it is not reaped;
            // without one (an older kernel) the child is waited for.
            child.pidfd = OpenPidFd(child.pid);
        }
        int status = 0;
        pid_t reaped;
        while ((reaped = ::waitpid(child.pid, &status, child.pidfd >= 0 ? WNOHANG : 0)) < 0 &&
               errno == EINTR) {
        }
        if (reaped == 0) {
            return false;
        }
        if (child.pidfd >= 0) {
            ::close(child.pidfd);
            child.pidfd = -1;
        }
        if (!child.report && options.claims) {
            // A child that was killed or crashed left its lock file behind, unlocked: taking
            // the claim and letting it go removes the file, unless another station holds it by
            // now.
            std::string busy;
            options.claims->Claim(child.job.port, busy);
        }
        const double seconds = std::chrono::duration<double>(Steady::now() - child.start).count();
        UnitReport report = child.report ? *child.report : LostReport(child, status, seconds);
        report.seconds = seconds;
        Finish(child.unit, report, child.wallStart);
        return true;
    }

    // Interrupts every unit: those queued end untouched, those running get SIGTERM.
    void Interrupt() {
        interrupted = true;
        while (!queued.empty()) {
            auto [unit, job] = std::move(queued.front());
            queued.pop_front();
            Finish(unit,
                   EndedUnit(job, std::nullopt, "interrupted", "interrupted before it started", 0),
                   WallClock::now());
        }
        for (const Child& child : children) {
            ::kill(child.pid, SIGTERM);
        }
    }

    // Waits for output, a signal or a deadline, and handles what came; returns the number of
    // stop signals that came.
    int Step(int waitMs) {
        const Steady::time_point now = Steady::now();
        if (options.timeoutSeconds > 0) {
            const auto limit = std::chrono::duration_cast<Steady::duration>(
                std::chrono::duration<double>(options.timeoutSeconds));
            for (Child& child : children) {
                if (child.fd < 0) {
                    continue;  // it has ended and waits to be reaped
                }
                if (!child.timedOut && now - child.start >= limit) {
                    // A unit past its time is stuck in the device-access library: only killing
                    // its process ends it.
                    child.timedOut = true;
                    ::kill(child.pid, SIGKILL);
                }
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(child.start + limit - now)
                        .count() +
                    1;
                if (!child.timedOut) {
                    waitMs = static_cast<int>(std::clamp<long long>(left, 0, waitMs));
                }
            }
        }
        std::vector<pollfd> polled;
        polled.push_back({signals.ReadFd(), POLLIN, 0});
        for (const Child& child : children) {
            polled.push_back({child.fd >= 0 ? child.fd : child.pidfd, POLLIN, 0});
        }
        if (::poll(polled.data(), polled.size(), waitMs) < 0) {
            return 0;  // EINTR: the signal's byte is read on the next step
        }
        const int stops = polled[0].revents != 0 ? signals.Drain() : 0;
        std::vector<size_t> ended;
        for (size_t i = 0; i < children.size(); ++i) {
            Child& child = children[i];
            if (polled[i + 1].revents == 0) {
                continue;
            }
            if (child.fd < 0) {
                ended.push_back(i);  // its pidfd: it has ended
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(child.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n > 0) {
                child.pending.append(buffer, static_cast<size_t>(n));
                TakeLines(child);
                continue;
            }
            // The child closed its pipe: it has ended, or is about to.
            ended.push_back(i);
        }
        for (auto it = ended.rbegin(); it != ended.rend(); ++it) {
            if (Reap(children[*it])) {
                children.erase(children.begin() + static_cast<long>(*it));
            }
        }
        if (events.tick && Steady::now() - lastTick >= std::chrono::milliseconds(options.tickMs)) {
            lastTick = Steady::now();
            events.tick();
        }
        return stops;
    }

    const RunnerOptions& options;
    const RunnerEvents& events;
    const pid_t parent;
    StopSignals signals;
    std::deque<std::pair<size_t, Job>> queued;
    std::vector<Child> children;
    size_t nextUnit = 0;
    bool interrupted = false;
    Steady::time_point lastTick = Steady::now();
};

Runner::Runner(RunnerOptions options, RunnerEvents events)
    : mOptions(options), mEvents(std::move(events)) {}

bool Runner::Run(const std::vector<Job>& jobs) {
    Loop loop(mOptions, mEvents);
    for (const Job& job : jobs) {
        loop.Queue(job);
    }
    loop.StartQueued();
    while (!loop.children.empty() || !loop.queued.empty()) {
        if (loop.Step(mOptions.tickMs) > 0 && !loop.interrupted) {
            loop.Interrupt();
        }
        if (!loop.interrupted) {
            loop.StartQueued();
        }
    }
    return !loop.interrupted;
}

bool Runner::Watch(const std::function<std::optional<Job>(const PortEntry& port)>& jobFor) {
    Loop loop(mOptions, mEvents);
    // A port is served when it is listed while armed; serving disarms it, and being missing from
    // the listing arms it again.
    std::map<std::string, bool> armed;
    bool stopping = false;
    Steady::time_point nextPoll = Steady::now();
    while (!stopping || !loop.children.empty()) {
        if (!stopping && Steady::now() >= nextPoll) {
            nextPoll = Steady::now() + std::chrono::milliseconds(mOptions.watchPollMs);
            PortTable table;
            table.List({}, PortTable::kUnlimited);
            std::set<std::string> listed;
            for (size_t i = 0; i < table.ProgrammingPortCount(); ++i) {
                const PortEntry& port = table.Entries()[i];
                listed.insert(port.name);
                const auto [it, fresh] = armed.emplace(port.name, true);
                if (it->second) {
                    it->second = false;
                    if (std::optional<Job> job = jobFor(port)) {
                        loop.Queue(*job);
                    }
                }
            }
            for (auto& [name, isArmed] : armed) {
                isArmed = isArmed || !listed.contains(name);
            }
            loop.StartQueued();
        }
        const auto untilPoll =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Steady::now()).count();
        const int wait =
            stopping ? mOptions.tickMs
                     : static_cast<int>(std::clamp<long long>(untilPoll, 0, mOptions.tickMs));
        const int stops = loop.Step(wait);
        if (stops > 0 && !stopping) {
            stopping = true;
            // Units waiting for room are not started; those in progress go on.
            while (!loop.queued.empty()) {
                auto [unit, job] = std::move(loop.queued.front());
                loop.queued.pop_front();
                loop.Finish(unit,
                            EndedUnit(job, std::nullopt, "interrupted",
                                      "the station stopped before it started", 0),
                            WallClock::now());
            }
            if (stops > 1) {
                loop.Interrupt();
            }
        } else if (stops > 0 && !loop.interrupted) {
            loop.Interrupt();
        }
        if (!stopping) {
            loop.StartQueued();
        }
    }
    return !loop.interrupted;
}

}  // namespace halyard::station
