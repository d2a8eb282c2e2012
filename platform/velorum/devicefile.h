// Simulated Varnak devices as text files: the device directory, the file format and its
// atomic replacement. Shared by the device-access and port-listing libraries and the
// varnak-device tool.
//
// A device file holds one directive a line; '#' starts a comment:
//     chip MVT4120                 chip name that GetChipName returns
//     key 02a9 ac02                PS key (hex) and its words (hex)
//     fail-read 02ab 2             the next 2 reads of that key fail
//     fail-write 02aa 1            the next write of that key fails
//     silent                       the device does not answer: opens fail
//     restarts 3                   how often the chip was restarted
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

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
    bool silent = false;
    int restarts = 0;

    bool operator==(const DeviceImage&) const = default;
};

// $VELORUM_DEVICE_DIR, else ${XDG_STATE_HOME:-$HOME/.local/state}/halyard/devices.
std::filesystem::path DeviceDirectory();

// A device name is a plain file stem: letters, digits, '-', '_' and '.', not starting with '.'.
bool IsValidDeviceName(std::string_view name);

// DIR/NAME.vdev.
std::filesystem::path DevicePath(const std::filesystem::path& dir, std::string_view name);

// Parses a device file. On a malformed line returns false and names the line in *error.
bool ParseDevice(std::string_view text, DeviceImage& image, std::string* error);
std::string FormatDevice(const DeviceImage& image);

bool LoadDevice(const std::filesystem::path& path, DeviceImage& image, std::string* error);
// Replaces the file atomically: a temporary file beside it, flushed, then renamed over it.
bool SaveDevice(const std::filesystem::path& path, const DeviceImage& image, std::string* error);

// A factory-new Veltra Plus handset with firmware 3.04, as "\\.\MVT0" starts out.
DeviceImage FactoryVeltraHandset();

}  // namespace varnak::sim
