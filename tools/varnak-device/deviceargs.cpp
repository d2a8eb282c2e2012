#include "deviceargs.h"

#include <halyard/operations.h>

namespace varnak_device {

bool ParseFirmware(const std::string& text, uint16_t& word) {
    return halyard::ParseFirmwareVersion(text, word);
}

}  // namespace varnak_device
