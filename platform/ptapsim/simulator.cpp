#include "ptapsim.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>

namespace ptapsim {

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size() && i < 64; ++i) {
        std::snprintf(digits, sizeof digits, "%02x ", bytes[i]);
        text += digits;
    }
    if (bytes.size() > 64) {
        text += "...";
    }
    return text;
}

}  // namespace

struct Simulator::Shared {
    explicit Shared(Config config) : device(std::move(config)) {}

    mutable std::mutex lock;  // guards everything below but the descriptors
    mutable std::condition_variable requestArrived;
    Device device;
    std::vector<Bytes> requests;
    std::vector<Bytes> broadcasts;
    size_t open = 0;
    size_t accepted = 0;
    std::function<void(const std::string&)> logger;

    int listenFd = -1;
    int wakeFd = -1;  // eventfd: stop or broadcast
    bool stopping = false;
    std::string path;

    void Log(const std::string& line) {
        std::function<void(const std::string&)> copy;
        {
            std::lock_guard<std::mutex> guard(lock);
            copy = logger;
        }
        if (copy) {
            copy(line);
        }
    }

    void Wake() {
        const uint64_t one = 1;
        if (write(wakeFd, &one, sizeof one) < 0) {
            // The counter cannot overflow in practice; a failed wake only delays the loop.
        }
    }
};

Simulator::Simulator(Config config) : mShared(std::make_shared<Shared>(std::move(config))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(const std::string& socketPath, std::string& error) {
    if (mThread.joinable()) {
        error = "already running";
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // The socket is bound under a temporary name and renamed once it listens, so that the
    // path appears only when a connection to it can succeed.
    const std::string bindPath = socketPath + "~";
    if (socketPath.empty() || bindPath.size() >= sizeof address.sun_path) {
        error = "socket path must have 1 to " + std::to_string(sizeof address.sun_path - 2) +
                " characters";
        return false;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    // A socket file left by a device that has gone is replaced; a live device, or a file
    // that is not a socket, is not.
    struct stat existing;
    if (lstat(socketPath.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
        error = socketPath + " exists and is not a socket";
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const bool live =
            connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        const bool stale = !live && errno == ECONNREFUSED;
        close(probe);
        if (live) {
            error = socketPath + " is in use by another device";
            return false;
        }
        if (stale) {
            unlink(socketPath.c_str());
        }
    }

    // The bind name of a device that died before its rename is removed; anything else of that
    // name (an editor's backup "ptap~") is a user's file and is left alone.
    std::memcpy(address.sun_path, bindPath.c_str(), bindPath.size() + 1);
    if (lstat(bindPath.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            error = bindPath + " exists and is not a socket";
            return false;
        }
        unlink(bindPath.c_str());
    }
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = ErrorText("socket");
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = ErrorText("cannot bind " + bindPath);
        close(fd);
        return false;
    }
    if (listen(fd, 16) != 0 || rename(bindPath.c_str(), socketPath.c_str()) != 0) {
        error = ErrorText("cannot listen on " + socketPath);
        close(fd);
        unlink(bindPath.c_str());
        return false;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        error = ErrorText("eventfd");
        close(fd);
        unlink(socketPath.c_str());
        return false;
    }
    mShared->listenFd = fd;
    mShared->wakeFd = wake;
    mShared->stopping = false;
    mShared->path = socketPath;
    mThread = std::thread(&Simulator::Serve, this);
    return true;
}

void Simulator::Stop() {
    if (!mThread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(mShared->lock);
        mShared->stopping = true;
    }
    mShared->Wake();
    mThread.join();
    close(mShared->listenFd);
    close(mShared->wakeFd);
    mShared->listenFd = mShared->wakeFd = -1;
    unlink(mShared->path.c_str());
}

void Simulator::SetFault(uint16_t id, const Fault& fault) {
    std::lock_guard<std::mutex> guard(mShared->lock);
    mShared->device.State().faults[id] = fault;
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> guard(mShared->lock);
    mShared->device.State().faults.clear();
}

Config Simulator::State() const {
    std::lock_guard<std::mutex> guard(mShared->lock);
    return mShared->device.State();
}

std::vector<Bytes> Simulator::Requests() const {
    std::lock_guard<std::mutex> guard(mShared->lock);
    return mShared->requests;
}

bool Simulator::WaitForRequests(size_t count, int milliseconds) const {
    std::unique_lock<std::mutex> guard(mShared->lock);
    return mShared->requestArrived.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                            [&] { return mShared->requests.size() >= count; });
}

void Simulator::Broadcast(const Bytes& message) {
    {
        std::lock_guard<std::mutex> guard(mShared->lock);
        mShared->broadcasts.push_back(message);
    }
    if (mThread.joinable()) {
        mShared->Wake();
    }
}

size_t Simulator::OpenConnections() const {
    std::lock_guard<std::mutex> guard(mShared->lock);
    return mShared->open;
}

size_t Simulator::AcceptedConnections() const {
    std::lock_guard<std::mutex> guard(mShared->lock);
    return mShared->accepted;
}

void Simulator::SetLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard<std::mutex> guard(mShared->lock);
    mShared->logger = std::move(logger);
}

// One loop serves every connection: it reads one message at a time, answers it (at once or
// when its delay has passed, always in request order per connection) and accepts newcomers.
void Simulator::Serve() {
    Shared& shared = *mShared;
    struct Pending {
        Clock::time_point due;
        Bytes bytes;
    };
    struct Connection {
        int fd;
        int number;
        std::deque<Pending> out;
    };
    std::list<Connection> connections;
    int nextNumber = 1;
    std::vector<uint8_t> buffer(65536);

    auto drop = [&](std::list<Connection>::iterator it, const char* why) {
        shared.Log("connection " + std::to_string(it->number) + " closed (" + why + ")");
        close(it->fd);
        std::lock_guard<std::mutex> guard(shared.lock);
        --shared.open;
        return connections.erase(it);
    };

    for (;;) {
        // Send what is due and find the next time something will be.
        const auto now = Clock::now();
        int timeout = -1;
        for (auto it = connections.begin(); it != connections.end();) {
            bool failed = false;
            while (!it->out.empty() && it->out.front().due <= now) {
                const Bytes& bytes = it->out.front().bytes;
                if (send(it->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
                    failed = true;
                    break;
                }
                it->out.pop_front();
            }
            if (failed) {
                it = drop(it, "send failed");
                continue;
            }
            if (!it->out.empty()) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(it->out.front().due - now)
                        .count() +
                    1;
                timeout = timeout < 0 ? static_cast<int>(wait)
                                      : std::min(timeout, static_cast<int>(wait));
            }
            ++it;
        }

        std::vector<pollfd> fds;
        fds.push_back({shared.wakeFd, POLLIN, 0});
        fds.push_back({shared.listenFd, POLLIN, 0});
        for (const Connection& c : connections) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            shared.Log(ErrorText("poll"));
            break;
        }

        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count;
            while (read(shared.wakeFd, &count, sizeof count) > 0) {
            }
            std::vector<Bytes> broadcasts;
            {
                std::lock_guard<std::mutex> guard(shared.lock);
                if (shared.stopping) {
                    break;
                }
                broadcasts.swap(shared.broadcasts);
            }
            for (const Bytes& message : broadcasts) {
                for (Connection& c : connections) {
                    c.out.push_back({Clock::now(), message});
                }
            }
        }

        // Requests, one message per read. Descriptors follow the two fixed ones in list order.
        size_t index = 2;
        for (auto it = connections.begin(); it != connections.end(); ++index) {
            if ((fds[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                ++it;
                continue;
            }
            const ssize_t n = recv(it->fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                it = drop(it, n == 0 ? "by the host" : "read failed");
                continue;
            }
            Bytes request(buffer.begin(), buffer.begin() + n);
            Device::Answer answer;
            {
                std::lock_guard<std::mutex> guard(shared.lock);
                shared.requests.push_back(request);
                answer = shared.device.Handle(request.data(), request.size());
            }
            shared.requestArrived.notify_all();
            std::string line =
                "connection " + std::to_string(it->number) + ": request " + Hex(request) + "-> ";
            if (answer.hangup) {
                shared.Log(line + "hang up");
                it = drop(it, "hang-up fault");
                continue;
            }
            if (!answer.reply) {
                shared.Log(line + "no answer");
            } else {
                shared.Log(line + Hex(answer.bytes) +
                           (answer.delayMs > 0 ? "(after " + std::to_string(answer.delayMs) + " ms)"
                                               : std::string()));
                it->out.push_back(
                    {Clock::now() + std::chrono::milliseconds(answer.delayMs), answer.bytes});
            }
            ++it;
        }

        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = accept4(shared.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections.push_back({fd, nextNumber++, {}});
                {
                    std::lock_guard<std::mutex> guard(shared.lock);
                    ++shared.open;
                    ++shared.accepted;
                }
                shared.Log("connection " + std::to_string(connections.back().number) + " opened");
            }
        }
    }

    for (Connection& c : connections) {
        close(c.fd);
    }
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.open = 0;
}

}  // namespace ptapsim
