#include "nimbra.h"

#include <velorum/devicefile.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

extern "C" int ListProgrammingPorts(uint16_t* length, char* names, char* transports,
                                    uint16_t* count) {
    if (!length || !names || !transports || !count) {
        if (length) {
            *length = 0;
        }
        return 1;
    }
    *count = 0;
    std::vector<std::string> ports;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(varnak::sim::DeviceDirectory(), ec)) {
        const std::filesystem::path& path = entry.path();
        const std::string stem = path.stem().string();
        if (path.extension() == varnak::sim::kDeviceExtension && entry.is_regular_file(ec) &&
            stem != varnak::sim::kUsbDeviceName && varnak::sim::IsValidDeviceName(stem)) {
            ports.push_back(stem);
        }
    }
    std::sort(ports.begin(), ports.end());

    std::string nameList;
    std::string transportList;
    for (const std::string& port : ports) {
        if (!nameList.empty()) {
            nameList += ',';
            transportList += ',';
        }
        nameList += port;
        transportList += std::string(varnak::sim::kTransportPrefix) + port;
    }
    const size_t needed = std::max(nameList.size(), transportList.size()) + 1;
    if (needed > UINT16_MAX) {
        *length = 0;
        return 1;
    }
    if (needed > *length) {
        *length = static_cast<uint16_t>(needed);
        return 1;
    }
    std::memcpy(names, nameList.c_str(), nameList.size() + 1);
    std::memcpy(transports, transportList.c_str(), transportList.size() + 1);
    *count = static_cast<uint16_t>(ports.size());
    return 0;
}
