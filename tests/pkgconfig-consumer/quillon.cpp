// A host program using the installed PTAP message library: it starts the installed simulated
// device, points the transport at its folder and lists the device's services and host
// interfaces through the two plain functions, then sends one message class directly.
#include <quillon/ptapenumeration.h>
#include <quillon/ptapmessages.h>

#include "ptapsim_process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
    PtapsimProcess device(reinterpret_cast<void*>(&EnumeratePtapServices));
    if (!device.Running()) {
        return 1;
    }
    setenv("PTAP_INTERFACE_DIR", device.Dir().c_str(), 1);

    char ids[64], words1[64], words2[64], lows[64], bits[64], words4[64];
    unsigned short size = sizeof ids;
    unsigned short count = 0;
    int result = EnumeratePtapServices(&size, ids, words1, words2, lows, bits, words4, &count);
    if (result != comm::ptap::CPtapEnumeration::OK || count != 3 ||
        std::strcmp(ids, "1,2,3") != 0) {
        std::fprintf(stderr, "service enumeration gave %d, %u services: %s\n", result, count, ids);
        return 1;
    }
    char kinds[64], names[64];
    size = sizeof ids;
    result = EnumeratePtapHifs(&size, ids, kinds, names, &count);
    if (result != comm::ptap::CPtapEnumeration::OK || count != 2) {
        std::fprintf(stderr, "host interface enumeration gave %d\n", result);
        return 1;
    }
    comm::ptap::CServiceMap map(3);
    if (!map.Send()) {
        std::fprintf(stderr, "service map failed with status %u\n", map.Status());
        return 1;
    }
    if (!device.Stop()) {
        std::fprintf(stderr, "ptapsim did not stop cleanly\n");
        return 1;
    }
    std::printf("quillon consumer: 3 services, host interfaces %s\n", names);
    return 0;
}
