// The command-line arguments of the tools, through the tools' own parsing. The input's first line
// names the argument; the lines after it are its texts, one argument a line:
//   key, word, number             keyward's KEY, set's WORD and the numbers of --add
//   basic, enhanced, v0           keyward power-table --add FIELD=VALUE,... of that format
//   quillon-number, quillon-hex   quillon's numbers and HEXBYTES
//   firmware, device              varnak-device's --firmware and device NAME
//   ports                         halyard-cli: a port listing ("NAMES|CONNECTIONS", each
//                                 comma-separated), then a --save file name, then the --port
//                                 names ("--all" for --all)
// What a parser accepts, read back from the tool's own way of writing it, must give the same.
#include "../driver/check.h"

#include <deviceargs.h>
#include <keywardargs.h>
#include <portchoice.h>
#include <quillonargs.h>
#include <velorum/devicefile.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using fuzz::Check;

void KeywardKey(const std::string& text) {
    try {
        const uint16_t key = keyward_tool::ParseKey(text);
        Check(key != 0);
        const std::string name = keyward_tool::KeyName(key);
        Check(name.rfind("0x" + keyward_tool::Hex4(key), 0) == 0);
        Check(keyward_tool::ParseKey(keyward_tool::Hex4(key)) == key);
        // A database key's identifier names it too.
        if (const size_t space = name.find(' '); space != std::string::npos) {
            Check(keyward_tool::ParseKey(name.substr(space + 1)) == key);
        }
    } catch (const keyward_tool::UsageError& e) {
        Check(!e.text.empty());
    }
}

void KeywardWord(const std::string& text) {
    try {
        const uint16_t word = keyward_tool::ParseWord(text);
        Check(keyward_tool::ParseWord(keyward_tool::Hex4(word)) == word);
        Check(keyward_tool::ParseWord("0x" + keyward_tool::Hex4(word)) == word);
    } catch (const keyward_tool::UsageError& e) {
        Check(e.text.find(text) != std::string::npos);
    }
}

void KeywardNumber(const std::string& text) {
    try {
        const long value = keyward_tool::ParseNumber(text, "INDEX");
        Check(keyward_tool::ParseNumber(std::to_string(value), "INDEX") == value);
    } catch (const keyward_tool::UsageError& e) {
        Check(e.text.rfind("INDEX ", 0) == 0);
    }
}

// The setting, written back as FIELD=VALUE pairs the way the table shows it, reads the same.
template <class Setting>
void PowerSetting(const std::string& text) {
    using keyward_tool::FieldsOf;
    try {
        const Setting setting = keyward_tool::ParseSetting<Setting>(text);
        std::string pairs;
        for (const auto& field : FieldsOf<Setting>()) {
            const int value = field.get(setting);
            Check(value >= field.min && value <= field.max);
            pairs +=
                std::string(pairs.empty() ? "" : ",") + field.name + "=" + std::to_string(value);
        }
        const Setting again = keyward_tool::ParseSetting<Setting>(pairs);
        for (const auto& field : FieldsOf<Setting>()) {
            Check(field.get(again) == field.get(setting));
        }
    } catch (const keyward_tool::UsageError& e) {
        Check(!e.text.empty());
    }
}

void QuillonNumber(const std::string& text) {
    try {
        const unsigned long value = quillon_tool::ParseNumber(text, "VALUE", 0xffffffffUL);
        Check(value <= 0xffffffffUL);
        Check(quillon_tool::ParseNumber(std::to_string(value), "VALUE", 0xffffffffUL) == value);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%lx", value);
        Check(quillon_tool::ParseNumber(hex, "VALUE", 0xffffffffUL) == value);
        if (value <= 0xffff) {
            Check(quillon_tool::Word(text, "SID") == value);
        }
    } catch (const quillon_tool::UsageError& e) {
        Check(e.text.rfind("VALUE ", 0) == 0 || e.text.rfind("SID ", 0) == 0);
    }
}

void QuillonHex(const std::string& text) {
    try {
        const std::vector<unsigned char> bytes = quillon_tool::ParseHex(text);
        const std::string plain = quillon_tool::Hex(bytes, "");
        Check(plain.size() == 2 * bytes.size());
        Check(quillon_tool::ParseHex(plain) == bytes);
        Check(quillon_tool::ParseHex(quillon_tool::Hex(bytes, " ")) == bytes);
    } catch (const quillon_tool::UsageError& e) {
        Check(e.text.rfind("HEXBYTES ", 0) == 0);
    }
}

void Firmware(const std::string& text) {
    uint16_t word = 0;
    if (!varnak_device::ParseFirmware(text, word)) {
        return;
    }
    Check((word >> 8) <= 15 && ((word >> 4) & 0xF) <= 9 && (word & 0xF) <= 9);
    char again[16];
    std::snprintf(again, sizeof again, "%d.%d%d", word >> 8, (word >> 4) & 0xF, word & 0xF);
    uint16_t reread = 0;
    Check(varnak_device::ParseFirmware(again, reread) && reread == word);
}

void DeviceName(const std::string& text) {
    if (!varnak::sim::IsValidDeviceName(text)) {
        return;
    }
    // A valid name stays inside the device folder.
    Check(text.find('/') == std::string::npos && text.front() != '.');
    const auto dir = std::filesystem::path("/devices");
    Check(varnak::sim::DevicePath(dir, text).parent_path() == dir);
}

void Ports(std::istream& lines) {
    std::string listing;
    std::string save;
    std::getline(lines, listing);
    std::getline(lines, save);
    const size_t bar = listing.find('|');
    const std::string names = listing.substr(0, bar);
    const std::string connections = bar == std::string::npos ? names : listing.substr(bar + 1);

    halyard::PortTable table;
    table.List(
        [&](uint16_t* length, char* nameBuffer, char* connectionBuffer, uint16_t* count) {
            const size_t needed = std::max(names.size(), connections.size()) + 1;
            if (needed > *length) {
                *length = static_cast<uint16_t>(std::min<size_t>(needed, 0xFFFF));
                return 1;
            }
            std::memcpy(nameBuffer, names.data(), names.size());
            std::memcpy(connectionBuffer, connections.data(), connections.size());
            *count =
                static_cast<uint16_t>(std::count(connections.begin(), connections.end(), ',') + 1);
            return 0;
        },
        halyard::PortTable::kUnlimited);

    std::vector<std::string> given;
    bool all = false;
    for (std::string name; std::getline(lines, name);) {
        if (name == "--all") {
            all = true;
        } else {
            given.push_back(name);
        }
    }
    std::vector<halyard::PortEntry> chosen;
    std::vector<std::string> absent;
    if (const auto error = halyard::cli::ChoosePorts(table, given, all, chosen, absent)) {
        Check(!error->text.empty() && chosen.size() + absent.size() <= given.size());
        return;
    }
    Check(!chosen.empty() || !absent.empty());
    Check(all || chosen.size() + absent.size() == std::max<size_t>(given.size(), 1));
    for (const std::string& name : absent) {
        Check(!table.Find(name).has_value());
    }
    for (const halyard::PortEntry& port : chosen) {
        Check(table.Find(port.name).has_value());
        const std::string part = halyard::cli::FileNamePart(port.name);
        Check(part.size() == port.name.size());
        Check(part.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789.-_") == std::string::npos);
        Check(halyard::cli::WithPort(save, port.name).find(halyard::cli::kPortPlaceholder) ==
              std::string::npos);
    }
}

// Each remaining line is one argument.
template <class Parse>
void EachLine(std::istream& lines, const Parse& parse) {
    for (std::string line; std::getline(lines, line);) {
        parse(line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string kind;
    std::getline(lines, kind);
    if (kind == "key") {
        EachLine(lines, KeywardKey);
    } else if (kind == "word") {
        EachLine(lines, KeywardWord);
    } else if (kind == "number") {
        EachLine(lines, KeywardNumber);
    } else if (kind == "basic") {
        EachLine(lines, PowerSetting<CPowerSetting>);
    } else if (kind == "enhanced") {
        EachLine(lines, PowerSetting<CEnhancedPowerSetting>);
    } else if (kind == "v0") {
        EachLine(lines, PowerSetting<CBluetoothPowerTableV0Setting>);
    } else if (kind == "quillon-number") {
        EachLine(lines, QuillonNumber);
    } else if (kind == "quillon-hex") {
        EachLine(lines, QuillonHex);
    } else if (kind == "firmware") {
        EachLine(lines, Firmware);
    } else if (kind == "device") {
        EachLine(lines, DeviceName);
    } else if (kind == "ports") {
        Ports(lines);
    }
    return 0;
}
