// Links the installed port-listing library through pkg-config.
#include <nimbra/nimbra.h>
#include <stdlib.h>
#include <unistd.h>

int main() {
    // An empty private device folder: no programming ports.
    char dir[] = "/tmp/nimbra_consumer_XXXXXX";
    if (!mkdtemp(dir)) {
        return 1;
    }
    setenv("VELORUM_DEVICE_DIR", dir, 1);
    uint16_t length = 1;
    char names[1];
    char transports[1];
    uint16_t count = 5;
    const int result = ListProgrammingPorts(&length, names, transports, &count);
    rmdir(dir);
    return result == 0 && count == 0 && names[0] == '\0' ? 0 : 1;
}
