#include "deviceargs.h"

namespace varnak_device {

bool ParseFirmware(const std::string& text, uint16_t& word) {
    const auto dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 2 || text.size() != dot + 3) {
        return false;
    }
    int major = 0;
    for (size_t i = 0; i < dot; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        major = major * 10 + (text[i] - '0');
    }
    const char minor = text[dot + 1];
    const char sub = text[dot + 2];
    if (major > 15 || minor < '0' || minor > '9' || sub < '0' || sub > '9') {
        return false;
    }
    word = static_cast<uint16_t>((major << 8) | ((minor - '0') << 4) | (sub - '0'));
    return true;
}

}  // namespace varnak_device
