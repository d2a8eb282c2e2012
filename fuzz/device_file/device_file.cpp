// Arbitrary text as a simulated device file (platform/velorum). A file that parses must read
// back the same from its own text, and every key value stays within the limit of a file.
#include "../driver/check.h"

#include <velorum/devicefile.h>

#include <cstdint>
#include <map>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    varnak::sim::DeviceImage image;
    std::string error;
    if (!varnak::sim::ParseDevice(text, image, &error)) {
        fuzz::Check(!error.empty());
        return 0;
    }
    for (const auto& [key, words] : image.keys) {
        fuzz::Check(words.size() <= varnak::sim::kMaxKeyWords);
    }
    const std::string written = varnak::sim::FormatDevice(image);
    varnak::sim::DeviceImage again;
    fuzz::Check(varnak::sim::ParseDevice(written, again, &error));
    // A count of 0 fails nothing and is not written.
    std::erase_if(image.failRead, [](const auto& entry) { return entry.second == 0; });
    std::erase_if(image.failWrite, [](const auto& entry) { return entry.second == 0; });
    std::erase_if(image.loseWrite, [](const auto& entry) { return entry.second == 0; });
    fuzz::Check(again == image);
    return 0;
}
