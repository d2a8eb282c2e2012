#include <transports/posix/ptaptrans.h>

#include <transports/socket.h>

#include <ostrel/ostrel.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace comm::trans {

namespace {

constexpr auto kComm = CMessageHandler::GROUP_COMMUNICATION;

// Handles are file descriptors carried in a pointer. Null and negative values are not open.
int ToFd(void* handle) {
    const intptr_t value = reinterpret_cast<intptr_t>(handle);
    return value > 0 && value <= INT_MAX ? static_cast<int>(value) : -1;
}

void* ToHandle(int fd) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(fd));
}

// Records a failed system call: the text, ". Error = " and errno; also a debug line.
void SetSystemError(const std::string& text) {
    const int error = errno;
    const std::string message = text + ". Error = " + std::to_string(error);
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "%s", message.c_str());
    OSTREL_SET_ERROR(kComm, message);
}

// The bytes in lower-case hexadecimal, for the debug output only.
void DebugBufferInfo(const char* label, const unsigned char* data, size_t size) {
    if (!CTheMsgHnd::DebugActivated()) {
        return;
    }
    std::string text = label;
    text += ": ";
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xf];
        text += ' ';
    }
    CTheMsgHnd::Instance();
    CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_GENERAL, "DebugBufferInfo")
        .DebugOutputInHandler(CMessageHandler::LEVEL_TRACE, false, false, "DebugBufferInfo",
                              __FILE__, __LINE__, "%s", text.c_str());
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether `path` can be a device interface: a character device (a driver's) or a socket (the
// simulated device's). Anything else is passed over: opened read-write, an ordinary file
// whose name happens to end in "ptap" would be overwritten by the first request.
bool IsInterface(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

// Opens the device interface at `path`: a Unix socket is connected as SOCK_SEQPACKET, a
// character device is opened for reading and writing, anything else is refused (it may have
// taken a device's place since the search). -1 with errno set on failure.
int OpenInterface(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return -1;
    }
    int fd;
    if (S_ISSOCK(st.st_mode)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
    } else if (S_ISCHR(st.st_mode)) {
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            return -1;
        }
    } else {
        errno = ENODEV;
        return -1;
    }
    if (fd == 0) {
        // Descriptor 0 would read as a null handle: move it up.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int error = errno;
        close(fd);
        errno = error;
        fd = moved;
    }
    return fd;
}

}  // namespace

// Marks a connection as in use by the worker for the length of one read or write; false
// from Ok() when the connection is not open here.
class CTransport::CPtapTransport::IoScope {
  public:
    IoScope(CPtapTransport& owner, int fd) : mOwner(owner) {
        std::lock_guard<std::mutex> guard(mOwner.mConnectionsLock);
        mOk = fd >= 0 && mOwner.mOpen.count(fd) > 0;
        if (mOk) {
            mOwner.mBusy = fd;
        }
    }
    ~IoScope() {
        if (mOk) {
            std::lock_guard<std::mutex> guard(mOwner.mConnectionsLock);
            mOwner.mBusy = -1;
            mOwner.mConnectionIdle.notify_all();
        }
    }
    IoScope(const IoScope&) = delete;
    IoScope& operator=(const IoScope&) = delete;

    bool Ok() const { return mOk; }

  private:
    CPtapTransport& mOwner;
    bool mOk;
};

CTransport::CPtapTransport::CPtapTransport(ConnectionMap args)
    : CTransportImp(std::move(args)), mStopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CTransport::CPtapTransport::~CPtapTransport() {
    if (mStopFd >= 0) {
        close(mStopFd);
    }
}

void CTransport::CPtapTransport::StopIo() {
    mStopped = true;
    const uint64_t one = 1;
    if (mStopFd >= 0 && write(mStopFd, &one, sizeof one) < 0) {
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_WARNING, "Cannot stop device I/O");
    }
}

CTransport::CPtapTransport::WaitResult CTransport::CPtapTransport::WaitFor(int fd, short events,
                                                                           int timeoutMs,
                                                                           short& revents) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {mStopFd, POLLIN, 0}};
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<long long>(0, left.count()));
        }
        const int ready = poll(fds, 2, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        revents = fds[0].revents;
        if (ready < 0) {
            return WaitResult::FAILED;
        }
        if (fds[1].revents != 0) {
            return WaitResult::STOPPED;
        }
        return ready == 0 ? WaitResult::TIMEOUT : WaitResult::READY;
    }
}

bool CTransport::CPtapTransport::Init() {
    return FindInterface(mDevicePath, PTAP_INTERFACE_NAME);
}

bool CTransport::CPtapTransport::Deinit() {
    return true;
}

std::string CTransport::CPtapTransport::InterfaceDirectory() const {
    std::string dir = Arg("dir");
    if (dir.empty()) {
        const char* fromEnvironment = std::getenv("PTAP_INTERFACE_DIR");
        dir = fromEnvironment != nullptr ? fromEnvironment : "";
    }
    return dir.empty() ? DEFAULT_INTERFACE_DIR : dir;
}

bool CTransport::CPtapTransport::FindInterface(std::string& path, const std::string& name) {
    const std::string dir = InterfaceDirectory();
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
        SetSystemError("Cannot open device interface directory " + dir);
        return false;
    }
    std::vector<std::string> entries;
    bool readFailed = false;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(stream);
        if (entry == nullptr) {
            readFailed = errno != 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            entries.emplace_back(entry->d_name);
        }
    }
    if (readFailed) {
        SetSystemError("Cannot read device interface directory " + dir);
    }
    if (closedir(stream) != 0) {
        SetSystemError("Cannot close device interface directory " + dir);
    }
    if (readFailed) {
        return false;
    }
    std::sort(entries.begin(), entries.end());
    const std::string prefix = EndsWith(dir, "/") ? dir : dir + "/";
    for (const std::string& entry : entries) {
        const std::string candidate = prefix + entry;
        if (EndsWith(candidate, name) && IsInterface(candidate)) {
            path = candidate;
            OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Found device interface %s",
                         path.c_str());
            return true;
        }
    }
    return false;
}

ISocket* CTransport::CPtapTransport::CreateSocket() {
    const int fd = OpenInterface(mDevicePath);
    if (fd < 0) {
        SetSystemError("Failed to open device interface \\" + PTAP_INTERFACE_NAME);
        return nullptr;
    }
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                 "Created connection to ptap driver: handle = %d", fd);
    {
        std::lock_guard<std::mutex> guard(mConnectionsLock);
        mOpen.insert(fd);
    }
    return new CSocket(ToHandle(fd));
}

bool CTransport::CPtapTransport::CloseSocket(ISocket* socket) {
    const int fd = ToFd(socket->Handle());
    {
        std::unique_lock<std::mutex> guard(mConnectionsLock);
        if (fd >= 0 && mOpen.erase(fd) > 0) {
            // Shutting the connection down ends a read or write the worker is blocked in.
            shutdown(fd, SHUT_RDWR);
            mConnectionIdle.wait(guard, [&] { return mBusy != fd; });
        }
    }
    return CloseHandle(socket->Handle());
}

bool CTransport::CPtapTransport::CloseHandle(void* handle) {
    const int fd = ToFd(handle);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);  // the peer sees the end at once; devices have no shutdown
    }
    if (fd < 0 || close(fd) != 0) {
        if (fd < 0) {
            errno = EBADF;
        }
        char text[96];
        std::snprintf(text, sizeof text, "Failed to close ptap driver connection: handle = %p",
                      handle);
        SetSystemError(text);
        return false;
    }
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                 "Closed connection with ptap driver: handle = %d", fd);
    return true;
}

unsigned long CTransport::CPtapTransport::SendData(void* handle, const unsigned char* data,
                                                   unsigned int size) {
    const int fd = ToFd(handle);
    IoScope scope(*this, fd);
    if (!scope.Ok()) {
        OSTREL_SET_ERROR(kComm, "ptap driver connection is not open");
        return 0;
    }
    if (mStopped) {
        errno = ECANCELED;
        SetSystemError("Write cancelled because the transport is shutting down");
        return 0;
    }
    DebugBufferInfo("SendData to driver", data, size);
    ssize_t written;
    for (;;) {
        written = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno == ENOTSOCK) {
            written = write(fd, data, size);
        }
        if (written >= 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
        short revents = 0;
        if (errno == EAGAIN) {
            // The device has not taken the earlier messages yet: wait without limit.
            const WaitResult waited = WaitFor(fd, POLLOUT, -1, revents);
            if (waited == WaitResult::STOPPED) {
                errno = ECANCELED;
                SetSystemError("Write cancelled because the transport is shutting down");
                return 0;
            }
            if (waited == WaitResult::FAILED) {
                SetSystemError("Wait failed");
                return 0;
            }
        }
    }
    if (written < 0) {
        SetSystemError("WriteFile failed");
        return 0;
    }
    if (static_cast<size_t>(written) != size) {
        OSTREL_SET_ERROR(kComm, "WriteFile wrote " + std::to_string(written) + " of " +
                                    std::to_string(size) + " bytes");
    }
    return static_cast<unsigned long>(written);
}

unsigned long CTransport::CPtapTransport::ReceiveData(void* handle, unsigned char* buffer,
                                                      unsigned int size) {
    const int fd = ToFd(handle);
    IoScope scope(*this, fd);
    if (!scope.Ok()) {
        OSTREL_SET_ERROR(kComm, "ptap driver connection is not open");
        return 0;
    }
    short revents = 0;
    switch (WaitFor(fd, POLLIN | POLLRDHUP, READ_TIMEOUT_MS, revents)) {
        case WaitResult::FAILED:
            SetSystemError("Wait failed");
            return 0;
        case WaitResult::TIMEOUT:
            errno = ETIMEDOUT;
            SetSystemError("Read failed due to timeout");
            return 0;
        case WaitResult::STOPPED:
            errno = ECANCELED;
            SetSystemError("Read cancelled because the transport is shutting down");
            return 0;
        case WaitResult::READY:
            break;
    }
    if ((revents & POLLNVAL) != 0) {
        errno = EBADF;
        SetSystemError("ReadFile failed");
        return 0;
    }
    // MSG_TRUNC makes a message socket report the whole length of a message that did not fit.
    ssize_t received;
    do {
        received = recv(fd, buffer, size, MSG_TRUNC);
        if (received < 0 && errno == ENOTSOCK) {
            received = read(fd, buffer, size);
        }
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        SetSystemError("ReadFile failed");
        return 0;
    }
    if (received == 0) {
        if ((revents & (POLLHUP | POLLRDHUP)) != 0) {
            errno = ECONNRESET;
            SetSystemError("Read failed because the device closed the connection");
        } else {
            errno = ENODATA;
            SetSystemError("Read failed: the device sent an empty message");
        }
        return 0;
    }
    if (static_cast<size_t>(received) > size) {
        errno = EMSGSIZE;
        SetSystemError("Read failed: a reply of " + std::to_string(received) +
                       " bytes does not fit the " + std::to_string(size) + "-byte buffer");
        return 0;
    }
    DebugBufferInfo("Received data from driver", buffer, static_cast<size_t>(received));
    return static_cast<unsigned long>(received);
}

}  // namespace comm::trans
