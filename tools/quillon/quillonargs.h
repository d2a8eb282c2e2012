// The quillon tool's reading of its arguments: numbers and hex payloads. A library of its own,
// so that the fuzz target of the command line runs the tool's own parsing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon_tool {

// A usage error found after parsing, reported like CLI11's own.
struct UsageError {
    std::string text;
};

// A decimal or 0x hexadecimal number from 0 to `max`; a UsageError naming `what` otherwise.
unsigned long ParseNumber(const std::string& text, const std::string& what, unsigned long max);
// A number from 0 to 0xffff.
uint16_t Word(const std::string& text, const std::string& what);
// Hex digits, two per byte, with ':', '-' or ' ' between them as the user likes.
std::vector<unsigned char> ParseHex(const std::string& text);
// The bytes as two lower-case hex digits each, with `separator` between them.
std::string Hex(const std::vector<unsigned char>& bytes, const char* separator);

}  // namespace quillon_tool
