// Arbitrary text as a transport connection string: split into pairs, then handed to
// CTransport::Init, which chooses the transport by the "trans" value and looks for the device
// in a folder that holds none, so nothing is opened and no worker starts. Inputs that name a
// folder of their own ("dir=") are only split: the fuzzer must not go looking through the disk.
#include "../driver/check.h"

#include <transports/stringutil.h>
#include <transports/transport.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    setenv("PTAP_INTERFACE_DIR", "/nonexistent/varnak-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> pairs;
    const bool parsed = stringutil::StringToMap(text, '=', ';', pairs);
    for (const auto& [key, value] : pairs) {
        fuzz::Check(key.find(';') == std::string::npos && value.find(';') == std::string::npos);
        fuzz::Check(key.find('=') == std::string::npos);
    }
    fuzz::Check(stringutil::ToLower(text).size() == text.size());
    if (parsed && pairs.count("dir") == 0) {
        comm::trans::CTransport& transport = comm::trans::CTransport::Ref();
        fuzz::Check(!transport.Init(text));  // there is no device to find
        fuzz::Check(!transport.Initialized());
    }
    return 0;
}
