#include "keywardargs.h"

#include "common/numbers.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace keyward_tool {

// ---------------------------------------------------------------- keys and numbers

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string Trimmed(const std::wstring& text) {
    std::string narrow = keyward::Narrow(text);
    narrow.erase(narrow.find_last_not_of(' ') + 1);
    return narrow;
}

// Hex digits with an optional 0x prefix, at most `max`.
bool ParseHex(std::string text, unsigned long max, unsigned long& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
    }
    if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    errno = 0;
    value = std::strtoul(text.c_str(), nullptr, 16);
    return errno == 0 && value <= max;
}

namespace {

// ASCII letters in upper case, as strcasecmp compares them.
std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// The database's keys by identifier in upper case; the first key of an identifier wins.
const std::unordered_map<std::string, uint16_t>& KeysByIdentifier() {
    static const std::unordered_map<std::string, uint16_t> keys = [] {
        std::unordered_map<std::string, uint16_t> byName;
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
            byName.emplace(UpperCase(Trimmed(entry->identifier)), entry->key_number);
        }
        return byName;
    }();
    return keys;
}

}  // namespace

// A key given as hex or by identifier.
uint16_t ParseKey(const std::string& text) {
    unsigned long number = 0;
    if (ParseHex(text, 0xFFFF, number)) {
        if (number == 0) {
            throw UsageError{"0 is not a key"};
        }
        return static_cast<uint16_t>(number);
    }
    std::string wanted = UpperCase(text);
    if (wanted.rfind("PSKEY_", 0) != 0) {
        wanted = "PSKEY_" + wanted;
    }
    if (const auto found = KeysByIdentifier().find(wanted); found != KeysByIdentifier().end()) {
        return found->second;
    }
    throw UsageError{"unknown key '" + text +
                     "': give a hex number such as 01f9 or an identifier such as "
                     "PSKEY_HOST_INTERFACE"};
}

std::string KeyName(uint16_t key) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    return "0x" + Hex4(key) + (entry != nullptr ? " " + Trimmed(entry->identifier) : "");
}

uint16_t ParseWord(const std::string& text) {
    unsigned long word = 0;
    if (!ParseHex(text, 0xFFFF, word)) {
        throw UsageError{"'" + text + "' is not a word of one to four hex digits"};
    }
    return static_cast<uint16_t>(word);
}

long ParseNumber(const std::string& text, const std::string& what) {
    int64_t value = 0;
    if (!varnak::ParseSigned(text, LONG_MIN, LONG_MAX, value)) {
        throw UsageError{what + " must be a number (decimal or 0x hexadecimal), not '" + text +
                         "'"};
    }
    return static_cast<long>(value);
}

// ---------------------------------------------------------------- power settings

#define KEYWARD_FIELD(Setting, member, low, high, Type)                            \
    Field<Setting> {                                                               \
#member, low, high, [](const Setting& s) { return static_cast<int>(s.member); }, \
            [](Setting& s, int v) { s.member = static_cast<Type>(v); } \
    }

template <>
const std::vector<Field<CPowerSetting>>& FieldsOf<CPowerSetting>() {
    static const std::vector<Field<CPowerSetting>> fields{
        KEYWARD_FIELD(CPowerSetting, internal_pa, 0, 255, uint8_t),
        KEYWARD_FIELD(CPowerSetting, external_pa, 0, 255, uint8_t),
        KEYWARD_FIELD(CPowerSetting, tx_dbm, -128, 127, int8_t)};
    return fields;
}

template <>
const std::vector<Field<CEnhancedPowerSetting>>& FieldsOf<CEnhancedPowerSetting>() {
    using S = CEnhancedPowerSetting;
    static const std::vector<Field<S>> fields{
        KEYWARD_FIELD(S, internal_pa, 0, 255, uint8_t),
        KEYWARD_FIELD(S, external_pa, 0, 255, uint8_t),
        KEYWARD_FIELD(S, tx_pa_attn, 0, 7, uint8_t),
        KEYWARD_FIELD(S, switchable_external_pa, 0, 1, uint16_t),
        KEYWARD_FIELD(S, internal_pa_edr, 0, 255, uint8_t),
        KEYWARD_FIELD(S, external_pa_edr, 0, 255, uint8_t),
        KEYWARD_FIELD(S, inhibit_edr, 0, 1, uint8_t),
        KEYWARD_FIELD(S, inhibit_br, 0, 1, uint8_t),
        KEYWARD_FIELD(S, tx_pa_attn_edr, 0, 7, uint8_t),
        KEYWARD_FIELD(S, tx_pre_edr, 0, 255, uint8_t),
        KEYWARD_FIELD(S, tx_dbm, -128, 127, int8_t)};
    return fields;
}

template <>
const std::vector<Field<CBluetoothPowerTableV0Setting>>& FieldsOf<CBluetoothPowerTableV0Setting>() {
    using S = CBluetoothPowerTableV0Setting;
    static const std::vector<Field<S>> fields{KEYWARD_FIELD(S, internal_pa, 0, 255, uint8_t),
                                              KEYWARD_FIELD(S, mixer_level, 0, 15, uint8_t),
                                              KEYWARD_FIELD(S, mixer_offset, 0, 15, uint8_t),
                                              KEYWARD_FIELD(S, tx_pa_attn, 0, 7, uint8_t),
                                              KEYWARD_FIELD(S, internal_pa_edr, 0, 255, uint8_t),
                                              KEYWARD_FIELD(S, mixer_level_edr, 0, 15, uint8_t),
                                              KEYWARD_FIELD(S, mixer_offset_edr, 0, 15, uint8_t),
                                              KEYWARD_FIELD(S, inhibit_edr, 0, 1, uint8_t),
                                              KEYWARD_FIELD(S, inhibit_br, 0, 1, uint8_t),
                                              KEYWARD_FIELD(S, tx_pa_attn_edr, 0, 7, uint8_t),
                                              KEYWARD_FIELD(S, tx_dbm, -128, 127, int8_t)};
    return fields;
}

#undef KEYWARD_FIELD

}  // namespace keyward_tool
