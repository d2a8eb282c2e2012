#include "devicefile.h"

#include "common/atomicfile.h"
#include "common/userfiles.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace varnak::sim {

namespace {

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

std::vector<std::string_view> Words(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
            ++i;
        }
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t') {
            ++j;
        }
        if (j > i) {
            out.push_back(s.substr(i, j - i));
        }
        i = j;
    }
    return out;
}

bool ParseHex16(std::string_view s, uint16_t& out) {
    if (s.empty() || s.size() > 4) {
        return false;
    }
    unsigned value = 0;
    for (char c : s) {
        value <<= 4;
        if (c >= '0' && c <= '9') {
            value |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            value |= static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
    }
    out = static_cast<uint16_t>(value);
    return true;
}

bool ParseCount(std::string_view s, int& out) {
    if (s.empty() || s.size() > 9) {
        return false;
    }
    int value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

}  // namespace

std::string Hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

std::filesystem::path DeviceDirectory() {
    if (const char* dir = std::getenv("VELORUM_DEVICE_DIR"); dir && *dir) {
        return dir;
    }
    std::filesystem::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
        state = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        state = std::filesystem::path(home) / ".local/state";
    } else {
        state = "/tmp";
    }
    return state / "halyard/devices";
}

bool IsValidDeviceName(std::string_view name) {
    if (name.empty() || name.size() > 200 || name.front() == '.') {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::filesystem::path DevicePath(const std::filesystem::path& dir, std::string_view name) {
    return dir / (std::string(name) + std::string(kDeviceExtension));
}

bool ParseDevice(std::string_view text, DeviceImage& image, std::string* error) {
    DeviceImage result;
    result.chip.clear();
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = "line " + std::to_string(lineNo) + ": " + why;
        }
        return false;
    };
    while (!text.empty()) {
        ++lineNo;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (const auto hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        const auto words = Words(line);
        const std::string_view directive = words[0];
        if (directive == "chip") {
            result.chip = std::string(Trim(line.substr(4)));
        } else if (directive == "key") {
            uint16_t key = 0;
            if (words.size() < 2 || !ParseHex16(words[1], key)) {
                return fail("key needs a hex key number");
            }
            if (words.size() - 2 > kMaxKeyWords) {
                return fail("key value longer than " + std::to_string(kMaxKeyWords) + " words");
            }
            std::vector<uint16_t> value;
            for (size_t i = 2; i < words.size(); ++i) {
                uint16_t w = 0;
                if (!ParseHex16(words[i], w)) {
                    return fail("bad hex word '" + std::string(words[i]) + "'");
                }
                value.push_back(w);
            }
            result.keys[key] = std::move(value);
        } else if (directive == "fail-read" || directive == "fail-write" ||
                   directive == "lose-write") {
            uint16_t key = 0;
            int count = 1;
            if (words.size() < 2 || words.size() > 3 || !ParseHex16(words[1], key) ||
                (words.size() == 3 && !ParseCount(words[2], count))) {
                return fail(std::string(directive) + " needs a hex key and an optional count");
            }
            auto& counts = directive == "fail-read"    ? result.failRead
                           : directive == "fail-write" ? result.failWrite
                                                       : result.loseWrite;
            counts[key] = count;
        } else if (directive == "delay") {
            if (words.size() != 2 || !ParseCount(words[1], result.delayMs)) {
                return fail("delay needs milliseconds");
            }
        } else if (directive == "silent") {
            result.silent = true;
        } else if (directive == "crash") {
            result.crash = true;
        } else if (directive == "hang") {
            uint16_t key = 0;
            if (words.size() > 2 || (words.size() == 2 && !ParseHex16(words[1], key))) {
                return fail("hang takes an optional hex key");
            }
            result.hang = true;
            if (words.size() == 2) {
                result.hangKey = key;
            }
        } else if (directive == "restarts") {
            if (words.size() != 2 || !ParseCount(words[1], result.restarts)) {
                return fail("restarts needs a count");
            }
        } else {
            return fail("unknown directive '" + std::string(directive) + "'");
        }
    }
    image = std::move(result);
    return true;
}

std::string FormatDevice(const DeviceImage& image) {
    std::ostringstream out;
    out << "# Simulated Varnak device\n";
    out << "chip " << image.chip << "\n";
    for (const auto& [key, words] : image.keys) {
        out << "key " << Hex4(key);
        for (uint16_t w : words) {
            out << ' ' << Hex4(w);
        }
        out << "\n";
    }
    for (const auto& [key, count] : image.failRead) {
        if (count > 0) {
            out << "fail-read " << Hex4(key) << ' ' << count << "\n";
        }
    }
    for (const auto& [key, count] : image.failWrite) {
        if (count > 0) {
            out << "fail-write " << Hex4(key) << ' ' << count << "\n";
        }
    }
    for (const auto& [key, count] : image.loseWrite) {
        if (count > 0) {
            out << "lose-write " << Hex4(key) << ' ' << count << "\n";
        }
    }
    if (image.delayMs > 0) {
        out << "delay " << image.delayMs << "\n";
    }
    if (image.silent) {
        out << "silent\n";
    }
    if (image.crash) {
        out << "crash\n";
    }
    if (image.hang) {
        out << "hang" << (image.hangKey ? " " + Hex4(*image.hangKey) : std::string()) << "\n";
    }
    if (image.restarts > 0) {
        out << "restarts " << image.restarts << "\n";
    }
    return out.str();
}

bool LoadDevice(const std::filesystem::path& path, DeviceImage& image, std::string* error) {
    // Only a regular file: a FIFO would hold every program that opens the device.
    std::string text;
    std::string why;
    if (!varnak::ReadRegularFile(path, text, &why)) {
        if (error) {
            *error = why;
        }
        return false;
    }
    if (!ParseDevice(text, image, &why)) {
        if (error) {
            *error = path.string() + ": " + why;
        }
        return false;
    }
    return true;
}

bool SaveDevice(const std::filesystem::path& path, const DeviceImage& image, std::string* error) {
    return varnak::WriteFileAtomically(path, FormatDevice(image), error);
}

std::filesystem::path UnpluggedPath(const std::filesystem::path& device) {
    std::filesystem::path path = device;
    return path += ".unplugged";
}

bool PlugDevice(const std::filesystem::path& device, bool in, std::string* error) {
    const DeviceLock lock(device);
    if (!lock.Locked()) {
        if (error) {
            *error = lock.Error();
        }
        return false;
    }
    const std::filesystem::path from = in ? UnpluggedPath(device) : device;
    const std::filesystem::path to = in ? device : UnpluggedPath(device);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(from, ec) || std::filesystem::exists(to, ec)) {
        if (error) {
            *error = device.stem().string() + (in ? " is not unplugged" : " is not plugged in");
        }
        return false;
    }
    std::filesystem::rename(from, to, ec);
    if (ec && error) {
        *error = "cannot move " + from.string() + ": " + ec.message();
    }
    return !ec;
}

bool UpdateDevice(const std::filesystem::path& path,
                  const std::function<bool(DeviceImage&)>& change, std::string* error) {
    const DeviceLock lock(path);
    if (!lock.Locked()) {
        if (error) {
            *error = lock.Error();
        }
        return false;
    }
    DeviceImage image;
    if (!LoadDevice(path, image, error)) {
        return false;
    }
    return !change(image) || SaveDevice(path, image, error);
}

DeviceImage FactoryVeltraHandset() {
    DeviceImage image;
    image.chip = "MVT4120";
    image.keys[0x02A9] = {0xAC02};  // handset of the Plus series, Veltra Plus
    image.keys[0x02AD] = {0x0304};  // firmware 3.04
    // The handset settings record with the factory settings of a Veltra Plus handset.
    image.keys[0x02AB] = {0xA700, 0x0008, 0x0DAC, 0x0005, 0x0000, 0x0006, 0x0009, 0x0006, 0x0009,
                          0x0005, 0x0000, 0x0000, 0x0000, 0x0001, 0x07D0, 0x1000, 0x3000, 0x1800,
                          0x010A, 0x0140, 0x0001, 0x00C8, 0x1000, 0x0000, 0x004B};
    return image;
}

}  // namespace varnak::sim
