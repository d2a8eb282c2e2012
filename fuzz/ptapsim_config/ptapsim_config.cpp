// Arbitrary text as a ptapsim configuration. A configuration that parses must read back the
// same from its own text, and the device built from it answers every query without trouble.
#include "../driver/check.h"

#include <ptapsim/ptapsim.h>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ptapsim::Config config;
    std::string error;
    if (!ptapsim::Config::Parse(text, config, error)) {
        fuzz::Check(error.rfind("line ", 0) == 0);
        return 0;
    }
    const std::string written = config.ToText();
    ptapsim::Config again;
    fuzz::Check(ptapsim::Config::Parse(written, again, error));
    fuzz::Check(again.ToText() == written);

    ptapsim::Device device(config);
    const uint8_t queries[][4] = {
        {ptapsim::QUERY_HIFS, 0}, {ptapsim::QUERY_SERVICES, 0}, {ptapsim::QUERY_STATS, 0, 1, 0}};
    device.Handle(queries[0], 2);
    device.Handle(queries[1], 2);
    device.Handle(queries[2], 4);
    for (const ptapsim::Service& service : config.services) {
        const uint8_t start[] = {ptapsim::SERVICE_START, 0, static_cast<uint8_t>(service.id),
                                 static_cast<uint8_t>(service.id >> 8)};
        device.Handle(start, sizeof start);
    }
    return 0;
}
