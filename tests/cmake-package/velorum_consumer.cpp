// Opens the built-in simulated handset through the installed device-access library and lists
// the programming ports through the installed port-listing library, in a private device folder.
#include <nimbra/nimbra.h>
#include <stdlib.h>
#include <velorum/velorum.h>

#include <cstdio>

int main() {
    char dir[] = "/tmp/velorum_consumer_XXXXXX";
    if (!mkdtemp(dir)) {
        return 1;
    }
    setenv("VELORUM_DEVICE_DIR", dir, 1);
    const velorum_handle_t handle = OpenByDevicePath(2, "\\\\.\\MVT0", 0, 1000, 1000);
    uint16_t words[36];
    uint16_t count = 0;
    const bool read = handle != 0 && ReadPsKey(handle, 0x02A9, 1, 36, words, &count) == 1;
    CloseConnection(handle);
    uint16_t length = 256;
    char names[256];
    char transports[256];
    uint16_t ports = 1;
    const bool listed = ListProgrammingPorts(&length, names, transports, &ports) == 0 && ports == 0;
    char command[128];
    std::snprintf(command, sizeof command, "rm -rf %s", dir);
    std::system(command);
    if (!read || count != 1 || words[0] != 0xAC02 || !listed) {
        std::fprintf(stderr, "device access through the installed libraries failed\n");
        return 1;
    }
    return 0;
}
