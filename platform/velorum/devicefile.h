// Simulated Varnak devices as text files: the device directory, the file format, its atomic
// replacement and the lock that serialises changes. Shared by the device-access and
// port-listing libraries and the varnak-device tool.
//
// A device file holds one directive a line; '#' starts a comment:
//     chip MVT4120                 chip name that GetChipName returns
//     key 02a9 ac02                PS key (hex) and its words (hex)
//     fail-read 02ab 2             the next 2 reads of that key fail; a failed read leaves the
//                                  caller's buffer filled with ffff, as an aborted transfer can
//     fail-write 02aa 1            the next write of that key fails
//     lose-write 02aa 1            the next write of that key answers success but is not stored
//     delay 50                     every answer of the device (chip name, PS key read and
//                                  write, reset) takes 50 ms
//     silent                       the device does not answer: opens fail
//     crash                        opening the device crashes the calling program, as a faulty
//                                  device-access library can
//     hang                         once opened, the device's every answer blocks the calling
//                                  program until it is killed, as a wedged driver does
//     hang 02ab                    only reads and writes of that key block so
//     restarts 3                   how often the chip was restarted
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/filelock.h"

namespace varnak::sim {

// The longest key value a device file may hold, in words.
inline constexpr size_t kMaxKeyWords = 64;

// The file of the fixed USB device path "\\.\MVT0".
inline constexpr std::string_view kUsbDeviceName = "MVT0";
inline constexpr std::string_view kDeviceExtension = ".vdev";
inline constexpr std::string_view kTransportPrefix = "SIM:";

struct DeviceImage {
    std::string chip = "MVT4120";
    std::map<uint16_t, std::vector<uint16_t>> keys;
    std::map<uint16_t, int> failRead;   // key -> reads still to fail
    std::map<uint16_t, int> failWrite;  // key -> writes still to fail
    std::map<uint16_t, int> loseWrite;  // key -> writes still to be answered but not stored
    int delayMs = 0;
    bool silent = false;
    bool crash = false;
    bool hang = false;
    std::optional<uint16_t> hangKey;  // with hang: only this key blocks
    int restarts = 0;

    bool operator==(const DeviceImage&) const = default;
};

// $VELORUM_DEVICE_DIR, else ${XDG_STATE_HOME:-$HOME/.local/state}/halyard/devices.
std::filesystem::path DeviceDirectory();

// A device name is a plain file stem: letters, digits, '-', '_' and '.', not starting with '.'.
bool IsValidDeviceName(std::string_view name);

// DIR/NAME.vdev.
std::filesystem::path DevicePath(const std::filesystem::path& dir, std::string_view name);

// A key or word as the device file writes it: four lower-case hex digits.
std::string Hex4(uint16_t value);

// Parses a device file. On a malformed line returns false and names the line in *error.
bool ParseDevice(std::string_view text, DeviceImage& image, std::string* error);
std::string FormatDevice(const DeviceImage& image);

bool LoadDevice(const std::filesystem::path& path, DeviceImage& image, std::string* error);
// Replaces the file atomically: a temporary file beside it, flushed, then renamed over it.
bool SaveDevice(const std::filesystem::path& path, const DeviceImage& image, std::string* error);

// The exclusive lock on a device, held for the life of the object: the hidden file
// ".NAME.vdev.lock" beside the device file (see varnak::FileLock).
using DeviceLock = varnak::FileLock;

// The lock file of a device file: DIR/.NAME.vdev.lock.
inline std::filesystem::path DeviceLockPath(const std::filesystem::path& device) {
    return varnak::LockPathFor(device);
}

// Where an unplugged device keeps its state: DIR/NAME.vdev.unplugged, which is neither listed
// nor opened.
std::filesystem::path UnpluggedPath(const std::filesystem::path& device);
// Unplugs a device (moves its file aside) or plugs it back in, under the device's lock. False,
// with the reason, when the device is not there to move or is there already.
bool PlugDevice(const std::filesystem::path& device, bool in, std::string* error);

// Loads a device, lets `change` look at it and change it, and saves it when `change` returns
// true, all under the device's lock, so concurrent programs lose no update. False, with the
// reason in *error, when the device cannot be locked, loaded or saved.
bool UpdateDevice(const std::filesystem::path& path,
                  const std::function<bool(DeviceImage&)>& change, std::string* error);

// A factory-new Veltra Plus handset with firmware 3.04, as "\\.\MVT0" starts out.
DeviceImage FactoryVeltraHandset();

}  // namespace varnak::sim
