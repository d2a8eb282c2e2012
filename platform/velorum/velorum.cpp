// Device access over simulated Varnak devices. Every call reads the device file afresh and
// every change is written back at once (atomically), so a device keeps its state between
// programs and several programs see the same device.
#include "velorum.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

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
    DeviceImage image;
    if (!varnak::sim::LoadDevice(file, image, nullptr) || image.silent) {
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

// Loads the device behind an open handle; a device that went silent answers nothing.
bool LoadConnected(velorum_handle_t handle, std::filesystem::path& file, DeviceImage& image) {
    return FileOf(handle, file) && varnak::sim::LoadDevice(file, image, nullptr) && !image.silent;
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
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) {
            std::filesystem::create_directories(dir, ec);
            if (!varnak::sim::SaveDevice(file, varnak::sim::FactoryVeltraHandset(), nullptr)) {
                return 0;
            }
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
    std::filesystem::path file;
    DeviceImage image;
    if (!LoadConnected(handle, file, image)) {
        return 0;
    }
    std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s", image.chip.c_str());
    return 1;
}

int ReadPsKey(velorum_handle_t handle, uint16_t key, int, uint16_t capacity, uint16_t* words,
              uint16_t* wordsRead) {
    if (wordsRead) {
        *wordsRead = 0;
    }
    if (!words) {
        return 0;
    }
    std::filesystem::path file;
    DeviceImage image;
    if (!LoadConnected(handle, file, image)) {
        return 0;
    }
    if (TakeFailure(image.failRead, key)) {
        varnak::sim::SaveDevice(file, image, nullptr);
        return 0;
    }
    const auto it = image.keys.find(key);
    if (it == image.keys.end() || it->second.size() > capacity) {
        return 0;
    }
    std::copy(it->second.begin(), it->second.end(), words);
    if (wordsRead) {
        *wordsRead = static_cast<uint16_t>(it->second.size());
    }
    return 1;
}

int WritePsKey(velorum_handle_t handle, uint16_t key, int, uint16_t count, const uint16_t* words) {
    if (!words || count > varnak::sim::kMaxKeyWords) {
        return 0;
    }
    std::filesystem::path file;
    DeviceImage image;
    if (!LoadConnected(handle, file, image)) {
        return 0;
    }
    if (TakeFailure(image.failWrite, key)) {
        varnak::sim::SaveDevice(file, image, nullptr);
        return 0;
    }
    image.keys[key].assign(words, words + count);
    return varnak::sim::SaveDevice(file, image, nullptr) ? 1 : 0;
}

void ResetChip(velorum_handle_t handle, int) {
    std::filesystem::path file;
    DeviceImage image;
    if (LoadConnected(handle, file, image)) {
        ++image.restarts;
        varnak::sim::SaveDevice(file, image, nullptr);
    }
}

}  // extern "C"
