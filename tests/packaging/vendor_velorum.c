/* A vendor's device-access library as the install test sees one: the same C functions and
 * soname as the simulated libvelorum, built against the installed header, reaching no device.
 * Its version text tells which library a program loaded. */
#include <velorum/velorum.h>

#include <string.h>

void GetLibraryVersion(char* buffer) {
    strcpy(buffer, "vendor velorum 9.1");
}

velorum_handle_t OpenByDevicePath(int kind, const char* path, int flags, int readTimeoutMs,
                                  int writeTimeoutMs) {
    (void)kind, (void)path, (void)flags, (void)readTimeoutMs, (void)writeTimeoutMs;
    return 0;
}

velorum_handle_t OpenByTransport(const char* transport, int flags) {
    (void)transport, (void)flags;
    return 0;
}

void CloseConnection(velorum_handle_t handle) {
    (void)handle;
}

int GetChipName(velorum_handle_t handle, int bufferSize, char* buffer) {
    (void)handle;
    if (bufferSize > 0) {
        buffer[0] = '\0';
    }
    return 0;
}

int ReadPsKey(velorum_handle_t handle, uint16_t key, int stores, uint16_t capacity, uint16_t* words,
              uint16_t* count) {
    (void)handle, (void)key, (void)stores, (void)capacity, (void)words;
    *count = 0;
    return 0;
}

int WritePsKey(velorum_handle_t handle, uint16_t key, int stores, uint16_t count,
               const uint16_t* words) {
    (void)handle, (void)key, (void)stores, (void)count, (void)words;
    return 0;
}

void ResetChip(velorum_handle_t handle, int flags) {
    (void)handle, (void)flags;
}
