/* Prints the version text of the device-access library the dynamic linker gives it. */
#include <velorum/velorum.h>

#include <stdio.h>

int main(void) {
    char version[VELORUM_VERSION_BUFFER];
    GetLibraryVersion(version);
    puts(version);
    return 0;
}
