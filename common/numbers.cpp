#include "common/numbers.h"

namespace varnak {

namespace {

int DigitValue(char c, int base) {
    int digit = 16;
    if (c >= '0' && c <= '9') {
        digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
    }
    return digit < base ? digit : -1;
}

}  // namespace

bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        const int digit = DigitValue(c, base);
        if (digit < 0) {
            return false;
        }
        const auto d = static_cast<uint64_t>(digit);
        if (d > max || number > (max - d) / static_cast<uint64_t>(base)) {
            return false;  // the number grows past `max`
        }
        number = number * static_cast<uint64_t>(base) + d;
    }
    value = number;
    return true;
}

bool ParseSigned(std::string_view text, int64_t min, int64_t max, int64_t& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    constexpr uint64_t kLargestMagnitude = uint64_t{1} << 63;  // that of INT64_MIN
    uint64_t magnitude = 0;
    if (!ParseUnsigned(text, kLargestMagnitude, magnitude) ||
        (!negative && magnitude == kLargestMagnitude)) {
        return false;
    }
    const int64_t number =
        negative ? static_cast<int64_t>(uint64_t{0} - magnitude) : static_cast<int64_t>(magnitude);
    if (number < min || number > max) {
        return false;
    }
    value = number;
    return true;
}

}  // namespace varnak
