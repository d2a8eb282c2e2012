// The keyward tool's reading of its arguments: keys by number or identifier, hex words, numbers
// and the FIELD=VALUE settings of power tables. A library of its own, so that the fuzz target
// of the command line runs the tool's own parsing.
#pragma once

#include <keyward/keyward.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace keyward_tool {

// A usage error found after parsing, reported like CLI11's own.
struct UsageError {
    std::string text;
};

// Four lower-case hex digits.
std::string Hex4(uint16_t value);
// A database identifier without its padding.
std::string Trimmed(const std::wstring& text);
// "0x01f9 PSKEY_HOST_INTERFACE", or the number alone for keys outside the database.
std::string KeyName(uint16_t key);

// Hex digits with an optional 0x prefix, at most `max`.
bool ParseHex(std::string text, unsigned long max, unsigned long& value);
// A key given as hex (0x01f9, 01f9) or by identifier (any case, PSKEY_ optional); a UsageError
// otherwise.
uint16_t ParseKey(const std::string& text);
// A word of one to four hex digits; a UsageError otherwise.
uint16_t ParseWord(const std::string& text);
// A decimal or 0x hexadecimal number; a UsageError naming `what` otherwise.
long ParseNumber(const std::string& text, const std::string& what);

// ---------------------------------------------------------------- power settings

// One field of a power setting: its name, range, and how to read and write it.
template <class Setting>
struct Field {
    const char* name;
    int min;
    int max;
    int (*get)(const Setting&);
    void (*set)(Setting&, int);
};

// The fields of CPowerSetting, CEnhancedPowerSetting and CBluetoothPowerTableV0Setting.
template <class Setting>
const std::vector<Field<Setting>>& FieldsOf();
template <>
const std::vector<Field<CPowerSetting>>& FieldsOf<CPowerSetting>();
template <>
const std::vector<Field<CEnhancedPowerSetting>>& FieldsOf<CEnhancedPowerSetting>();
template <>
const std::vector<Field<CBluetoothPowerTableV0Setting>>& FieldsOf<CBluetoothPowerTableV0Setting>();

// "internal_pa=13,tx_dbm=-8": the named fields set, the others 0; a UsageError otherwise.
template <class Setting>
Setting ParseSetting(const std::string& text) {
    const auto& fields = FieldsOf<Setting>();
    Setting setting;
    std::istringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) {
        const size_t equals = part.find('=');
        const std::string name = part.substr(0, equals);
        const auto field =
            std::find_if(fields.begin(), fields.end(),
                         [&name](const Field<Setting>& f) { return name == f.name; });
        if (equals == std::string::npos || field == fields.end()) {
            std::string names;
            for (const auto& f : fields) {
                names += std::string(names.empty() ? "" : ", ") + f.name;
            }
            throw UsageError{"--add takes FIELD=VALUE pairs separated by commas; '" + part +
                             "' is not one (fields: " + names + ")"};
        }
        const long value = ParseNumber(part.substr(equals + 1), field->name);
        if (value < field->min || value > field->max) {
            throw UsageError{std::string(field->name) + " must lie between " +
                             std::to_string(field->min) + " and " + std::to_string(field->max)};
        }
        field->set(setting, static_cast<int>(value));
    }
    return setting;
}

}  // namespace keyward_tool
