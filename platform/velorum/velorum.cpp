// Device access over simulated Varnak devices. Every call reads the device file afresh and
// every change is written back at once (atomically), so a device keeps its state between
// programs and several programs see the same device. Each call works on the device under its
// lock, so programs that use one device at the same time lose no change.
#include "velorum.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

#include "devicefile.h"

namespace {

using varnak::sim::DeviceImage;

constexpr std::string_view kDevicePathPrefix = "\\\\.\\";

struct Connection {
    std::filesystem::path file;
};

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

velorum_handle_t OpenFile(const std::filesystem::path& file) {
    bool answers = false;
    varnak::sim::UpdateDevice(
        file,
        [&answers](DeviceImage& image) {
            if (image.crash) {
                std::abort();
            }
            answers = !image.silent;
            return false;
        },
        nullptr);
    if (!answers) {
        return 0;
    }
    ConnectionTable& table = Connections();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.next == 0) {
        return 0;  // every handle value has been used
    }
    const velorum_handle_t handle = table.next++;
    table.open[handle] = Connection{file};
    return handle;
}

bool FileOf(velorum_handle_t handle, std::filesystem::path& file) {
    if (handle == 0) {
        return false;
    }
    ConnectionTable& table = Connections();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto it = table.open.find(handle);
    if (it == table.open.end()) {
        return false;
    }
    file = it->second.file;
    return true;
}

// Runs `answer` on the device behind an open handle, under the device's lock; `answer` returns
// whether it changed the device, which is then saved. A device that went silent answers
// nothing. The device's answer time ("delay") passes after the lock is released, so a slow
// device holds up no other program. True when the device answered and any change was saved.
template <typename Answer>
bool Ask(velorum_handle_t handle, std::optional<uint16_t> key, Answer answer) {
    std::filesystem::path file;
    if (!FileOf(handle, file)) {
        return false;
    }
    bool answered = false;
    bool hangs = false;
    int delayMs = 0;
    const bool ok = varnak::sim::UpdateDevice(
        file,
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
        nullptr);
    // A wedged device: the call never returns, whatever the time-outs, until the process ends.
    while (hangs) {
        ::pause();
    }
    if (delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    return ok && answered;
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

velorum_handle_t OpenByDevicePath(int, const char* path, int, int, int) {
    if (!path) {
        return 0;
    }
    const std::string_view text(path);
    if (text.substr(0, kDevicePathPrefix.size()) != kDevicePathPrefix) {
        return 0;
    }
    const std::string_view name = text.substr(kDevicePathPrefix.size());
    if (!varnak::sim::IsValidDeviceName(name)) {
        return 0;
    }
    const std::filesystem::path dir = varnak::sim::DeviceDirectory();
    const std::filesystem::path file = varnak::sim::DevicePath(dir, name);
    if (name == varnak::sim::kUsbDeviceName) {
        // Created under the lock, which is released before the open takes it again.
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        const varnak::sim::DeviceLock lock(file);
        if (!std::filesystem::exists(file, ec) &&
            (!lock.Locked() ||
             !varnak::sim::SaveDevice(file, varnak::sim::FactoryVeltraHandset(), nullptr))) {
            return 0;
        }
    }
    return OpenFile(file);
}

velorum_handle_t OpenByTransport(const char* transport, int) {
    if (!transport) {
        return 0;
    }
    const std::string_view text(transport);
    const std::string_view prefix = varnak::sim::kTransportPrefix;
    if (text.substr(0, prefix.size()) != prefix) {
        return 0;
    }
    const std::string_view name = text.substr(prefix.size());
    if (!varnak::sim::IsValidDeviceName(name)) {
        return 0;
    }
    return OpenFile(varnak::sim::DevicePath(varnak::sim::DeviceDirectory(), name));
}

void CloseConnection(velorum_handle_t handle) {
    ConnectionTable& table = Connections();
    std::lock_guard<std::mutex> guard(table.lock);
    table.open.erase(handle);
}

int GetChipName(velorum_handle_t handle, int bufferSize, char* buffer) {
    if (!buffer || bufferSize <= 0) {
        return 0;
    }
    buffer[0] = '\0';
    const bool answered = Ask(handle, std::nullopt, [&](DeviceImage& image) {
        std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s", image.chip.c_str());
        return false;
    });
    return answered ? 1 : 0;
}

int ReadPsKey(velorum_handle_t handle, uint16_t key, int, uint16_t capacity, uint16_t* words,
              uint16_t* wordsRead) {
    if (wordsRead) {
        *wordsRead = 0;
    }
    if (!words) {
        return 0;
    }
    bool read = false;
    const bool answered = Ask(handle, key, [&](DeviceImage& image) {
        if (TakeFailure(image.failRead, key)) {
            // A transfer that breaks off leaves the caller's buffer in no known state.
            std::fill(words, words + capacity, 0xFFFF);
            return true;
        }
        const auto it = image.keys.find(key);
        if (it == image.keys.end() || it->second.size() > capacity) {
            return false;
        }
        std::copy(it->second.begin(), it->second.end(), words);
        if (wordsRead) {
            *wordsRead = static_cast<uint16_t>(it->second.size());
        }
        read = true;
        return false;
    });
    return answered && read ? 1 : 0;
}

int WritePsKey(velorum_handle_t handle, uint16_t key, int, uint16_t count, const uint16_t* words) {
    if (!words || count > varnak::sim::kMaxKeyWords) {
        return 0;
    }
    bool written = false;
    const bool answered = Ask(handle, key, [&](DeviceImage& image) {
        if (TakeFailure(image.failWrite, key)) {
            return true;
        }
        written = true;
        if (!TakeFailure(image.loseWrite, key)) {
            image.keys[key].assign(words, words + count);
        }
        return true;
    });
    return answered && written ? 1 : 0;
}

void ResetChip(velorum_handle_t handle, int) {
    Ask(handle, std::nullopt, [](DeviceImage& image) {
        ++image.restarts;
        return true;
    });
}

}  // extern "C"
