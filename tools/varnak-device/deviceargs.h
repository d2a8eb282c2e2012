// The varnak-device tool's reading of its arguments beyond CLI11's own checks. A library of its
// own, so that the fuzz target of the command line runs the tool's own parsing.
#pragma once

#include <cstdint>
#include <string>

namespace varnak_device {

// "3.04" -> 0x0304: major 0..15, then exactly two digits for minor and sub; false otherwise.
bool ParseFirmware(const std::string& text, uint16_t& word);

}  // namespace varnak_device
