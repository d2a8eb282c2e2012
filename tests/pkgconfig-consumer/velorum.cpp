// Links the installed device-access library through pkg-config.
#include <velorum/velorum.h>

#include <cstring>

int main() {
    char version[VELORUM_VERSION_BUFFER];
    GetLibraryVersion(version);
    uint16_t words[1];
    uint16_t count = 0;
    // Handle 0 is never a connection: the read must fail.
    return std::strlen(version) > 0 && ReadPsKey(0, 0x02A9, 1, 1, words, &count) != 1 ? 0 : 1;
}
