#include "quillonargs.h"

#include "common/numbers.h"

#include <cctype>
#include <cstdio>

namespace quillon_tool {

unsigned long ParseNumber(const std::string& text, const std::string& what, unsigned long max) {
    uint64_t value = 0;
    if (!varnak::ParseUnsigned(text, max, value)) {
        throw UsageError{what + " must be a number from 0 to " + std::to_string(max) +
                         " (decimal or 0x hexadecimal), not '" + text + "'"};
    }
    return static_cast<unsigned long>(value);
}

uint16_t Word(const std::string& text, const std::string& what) {
    return static_cast<uint16_t>(ParseNumber(text, what, 0xffff));
}

std::vector<unsigned char> ParseHex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == '-' || c == ' ') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw UsageError{"HEXBYTES must be hexadecimal digits, not '" + text + "'"};
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        throw UsageError{"HEXBYTES must have two digits per byte: '" + text + "'"};
    }
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string Hex(const std::vector<unsigned char>& bytes, const char* separator) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        if (i > 0) {
            text += separator;
        }
        text += digits;
    }
    return text;
}

}  // namespace quillon_tool
