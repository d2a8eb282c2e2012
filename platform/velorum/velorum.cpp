// Device access over simulated Varnak devices. Every call reads the device file afresh and
// every change is written back at once (atomically), so a device keeps its state between
// programs and several programs see the same device. Each call works on the device under its
// lock, so programs that use one device at the same time lose no change.
//
// A connection waits for an answer as long as its time-outs allow (those given to
// OpenByDevicePath, 1000 ms for OpenByTransport), as a real library does: a device slower than
// that has still carried out the request, but the call fails once the time-out has passed.
// Every failing call leaves a text saying why for GetLastDeviceError.
#include "velorum.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

#include "devicefile.h"

namespace {

using varnak::sim::DeviceImage;
using varnak::sim::Hex4;

constexpr std::string_view kDevicePathPrefix = "\\\\.\\";
constexpr int kTransportTimeoutMs = 1000;  // the time-outs of a connection by transport string

struct Connection {
    std::filesystem::path file;
    int readTimeoutMs;   // chip name and PS key reads; 0 or less waits without limit
    int writeTimeoutMs;  // PS key writes and resets
};

// Why the calling thread's last call failed; each call starts by clearing it.
thread_local std::string tLastError;

// Records why the call fails and gives the failure's result.
template <typename Result>
Result Failed(Result result, const std::string& why) {
    tLastError = why;
    return result;
}

// Open connections by handle. Handles count up from 1 and never repeat within a process, so
// a stale handle never reaches another device.
struct ConnectionTable {
    std::mutex lock;
    std::map<velorum_handle_t, Connection> open;
    velorum_handle_t next = 1;
};

ConnectionTable& Connections() {
    static ConnectionTable table;
    return table;
}

velorum_handle_t OpenFile(const std::filesystem::path& file, int readTimeoutMs,
                          int writeTimeoutMs) {
    bool answers = false;
    std::string error;
    if (!varnak::sim::UpdateDevice(
            file,
            [&answers](DeviceImage& image) {
                if (image.crash) {
                    std::abort();
                }
                answers = !image.silent;
                return false;
            },
            &error)) {
        return Failed<velorum_handle_t>(0, error);
    }
    if (!answers) {
        return Failed<velorum_handle_t>(0, "the device " + file.string() + " does not answer");
    }
    ConnectionTable& table = Connections();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.next == 0) {
        return Failed<velorum_handle_t>(0, "every connection handle has been used");
    }
    const velorum_handle_t handle = table.next++;
    table.open[handle] = Connection{file, readTimeoutMs, writeTimeoutMs};
    return handle;
}

bool ConnectionOf(velorum_handle_t handle, Connection& connection) {
    ConnectionTable& table = Connections();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto it = table.open.find(handle);
    if (handle == 0 || it == table.open.end()) {
        return Failed(false, "no open connection has the handle " + std::to_string(handle));
    }
    connection = it->second;
    return true;
}

enum class Waits { READ, WRITE };

// Runs `answer` on the device behind an open handle, under the device's lock; `answer` returns
// whether it changed the device, which is then saved. A device that went silent answers
// nothing. The device's answer time ("delay") passes after the lock is released, so a slow
// device holds up no other program; the caller waits no longer than the connection's time-out
// for the kind of request. True when the device answered in time and any change was saved.
template <typename Answer>
bool Ask(velorum_handle_t handle, Waits waits, std::optional<uint16_t> key, Answer answer) {
    Connection connection;
    if (!ConnectionOf(handle, connection)) {
        return false;
    }
    bool answered = false;
    bool hangs = false;
    int delayMs = 0;
    std::string error;
    const bool ok = varnak::sim::UpdateDevice(
        connection.file,
        [&](DeviceImage& image) {
            if (image.silent) {
                return false;
            }
            hangs = image.hang && (!image.hangKey || image.hangKey == key);
            if (hangs) {
                return false;
            }
            answered = true;
            delayMs = image.delayMs;
            return answer(image);
        },
        &error);
    // A wedged device: the call never returns, whatever the time-outs, until the process ends.
    while (hangs) {
        ::pause();
    }
    if (!ok) {
        return Failed(false, error);
    }
    if (!answered) {
        return Failed(false, "the device " + connection.file.string() + " does not answer");
    }
    const int timeoutMs =
        waits == Waits::READ ? connection.readTimeoutMs : connection.writeTimeoutMs;
    if (timeoutMs > 0 && delayMs > timeoutMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return Failed(false, "the device " + connection.file.string() + " did not answer within " +
                                 std::to_string(timeoutMs) + " ms (it takes " +
                                 std::to_string(delayMs) + " ms)");
    }
    if (delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    return true;
}

// Counts down a pending failure for a key; true when this access is to fail.
bool TakeFailure(std::map<uint16_t, int>& failures, uint16_t key) {
    const auto it = failures.find(key);
    if (it == failures.end() || it->second <= 0) {
        return false;
    }
    if (--it->second == 0) {
        failures.erase(it);
    }
    return true;
}

}  // namespace

extern "C" {

void GetLibraryVersion(char* buffer) {
    if (buffer) {
        std::snprintf(buffer, VELORUM_VERSION_BUFFER, "%s",
                      "Velorum 1.0.0 (simulated Varnak devices)");
    }
}

velorum_handle_t OpenByDevicePath(int, const char* path, int, int readTimeoutMs,
                                  int writeTimeoutMs) {
    tLastError.clear();
    const std::string_view text(path != nullptr ? path : "");
    if (text.substr(0, kDevicePathPrefix.size()) != kDevicePathPrefix) {
        return Failed<velorum_handle_t>(0, "'" + std::string(text) + "' is no device path");
    }
    const std::string_view name = text.substr(kDevicePathPrefix.size());
    if (!varnak::sim::IsValidDeviceName(name)) {
        return Failed<velorum_handle_t>(0, "'" + std::string(name) + "' is no device name");
    }
    const std::filesystem::path dir = varnak::sim::DeviceDirectory();
    const std::filesystem::path file = varnak::sim::DevicePath(dir, name);
    if (name == varnak::sim::kUsbDeviceName) {
        // Created under the lock, which is released before the open takes it again.
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        const varnak::sim::DeviceLock lock(file);
        std::string error;
        if (!lock.Locked()) {
            return Failed<velorum_handle_t>(0, lock.Error());
        }
        if (!std::filesystem::exists(file, ec) &&
            !varnak::sim::SaveDevice(file, varnak::sim::FactoryVeltraHandset(), &error)) {
            return Failed<velorum_handle_t>(0, error);
        }
    }
    return OpenFile(file, readTimeoutMs, writeTimeoutMs);
}

velorum_handle_t OpenByTransport(const char* transport, int) {
    tLastError.clear();
    const std::string_view text(transport != nullptr ? transport : "");
    const std::string_view prefix = varnak::sim::kTransportPrefix;
    if (text.substr(0, prefix.size()) != prefix) {
        return Failed<velorum_handle_t>(0, "unknown transport '" + std::string(text) + "'");
    }
    const std::string_view name = text.substr(prefix.size());
    if (!varnak::sim::IsValidDeviceName(name)) {
        return Failed<velorum_handle_t>(0, "'" + std::string(name) + "' is no device name");
    }
    return OpenFile(varnak::sim::DevicePath(varnak::sim::DeviceDirectory(), name),
                    kTransportTimeoutMs, kTransportTimeoutMs);
}

int GetLastDeviceError(int bufferSize, char* buffer) {
    if (buffer == nullptr || bufferSize <= 0) {
        return 0;
    }
    std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s", tLastError.c_str());
    return tLastError.empty() ? 0 : 1;
}

void CloseConnection(velorum_handle_t handle) {
    ConnectionTable& table = Connections();
    std::lock_guard<std::mutex> guard(table.lock);
    table.open.erase(handle);
}

int GetChipName(velorum_handle_t handle, int bufferSize, char* buffer) {
    tLastError.clear();
    if (!buffer || bufferSize <= 0) {
        return Failed(0, "no buffer for the chip name");
    }
    buffer[0] = '\0';
    const bool answered = Ask(handle, Waits::READ, std::nullopt, [&](DeviceImage& image) {
        std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s", image.chip.c_str());
        return false;
    });
    return answered ? 1 : 0;
}

int ReadPsKey(velorum_handle_t handle, uint16_t key, int, uint16_t capacity, uint16_t* words,
              uint16_t* wordsRead) {
    tLastError.clear();
    if (wordsRead) {
        *wordsRead = 0;
    }
    if (!words) {
        return Failed(0, "no buffer for the words of key " + Hex4(key));
    }
    bool read = false;
    std::string refused;
    const bool answered = Ask(handle, Waits::READ, key, [&](DeviceImage& image) {
        if (TakeFailure(image.failRead, key)) {
            // A transfer that breaks off leaves the caller's buffer in no known state.
            std::fill(words, words + capacity, 0xFFFF);
            refused = "the read of key " + Hex4(key) + " broke off";
            return true;
        }
        const auto it = image.keys.find(key);
        if (it == image.keys.end()) {
            refused = "the device has no key " + Hex4(key);
            return false;
        }
        if (it->second.size() > capacity) {
            refused = "key " + Hex4(key) + " holds " + std::to_string(it->second.size()) +
                      " words, more than the " + std::to_string(capacity) + " asked for";
            return false;
        }
        std::copy(it->second.begin(), it->second.end(), words);
        if (wordsRead) {
            *wordsRead = static_cast<uint16_t>(it->second.size());
        }
        read = true;
        return false;
    });
    if (answered && !read) {
        return Failed(0, refused);
    }
    return answered && read ? 1 : 0;
}

int WritePsKey(velorum_handle_t handle, uint16_t key, int, uint16_t count, const uint16_t* words) {
    tLastError.clear();
    if (!words || count > varnak::sim::kMaxKeyWords) {
        return Failed(
            0, "a key holds at most " + std::to_string(varnak::sim::kMaxKeyWords) + " words");
    }
    bool written = false;
    const bool answered = Ask(handle, Waits::WRITE, key, [&](DeviceImage& image) {
        if (TakeFailure(image.failWrite, key)) {
            return true;
        }
        written = true;
        if (!TakeFailure(image.loseWrite, key)) {
            image.keys[key].assign(words, words + count);
        }
        return true;
    });
    if (answered && !written) {
        return Failed(0, "the write of key " + Hex4(key) + " failed");
    }
    return answered && written ? 1 : 0;
}

void ResetChip(velorum_handle_t handle, int) {
    tLastError.clear();
    Ask(handle, Waits::WRITE, std::nullopt, [](DeviceImage& image) {
        ++image.restarts;
        return true;
    });
}

}  // extern "C"
