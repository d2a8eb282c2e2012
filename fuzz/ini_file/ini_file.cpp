// Arbitrary text as the programmer's INI file. The value found is trimmed and one line long,
// and section and key names match without regard to case.
#include "../driver/check.h"

#include <halyard/inifile.h>

#include <cstdint>
#include <sstream>
#include <string>

namespace {

std::optional<std::string> Read(const std::string& text, const char* section, const char* key) {
    std::istringstream in(text);
    return halyard::ReadIniValue(in, section, key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> value = Read(text, "Setting", "ProgramVersion");
    if (value) {
        fuzz::Check(value->find('\n') == std::string::npos);
        fuzz::Check(value->empty() || (value->front() != ' ' && value->back() != ' '));
    }
    fuzz::Check(Read(text, "SETTING", "programversion") == value);
    return 0;
}
