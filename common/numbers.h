// Numbers as the tools and configuration files take them: decimal, or hexadecimal after "0x".
// A leading zero is only a zero, never the mark of an octal number: "010" is ten.
#pragma once

#include <cstdint>
#include <string_view>

namespace varnak {

// The whole of `text` as a number from 0 to `max`: decimal digits, or "0x" (or "0X") and
// hexadecimal digits. No sign, no blanks. False when it is not one or is larger.
bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& value);

// The same with an optional "-" or "+" before the digits, from `min` to `max`.
bool ParseSigned(std::string_view text, int64_t min, int64_t max, int64_t& value);

}  // namespace varnak
