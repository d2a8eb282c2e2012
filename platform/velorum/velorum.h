/* Velorum: device access to Varnak devices. Connections, chip name, PS key read and write,
 * chip reset. This build reaches simulated devices: one text file per device in the device
 * directory ($VELORUM_DEVICE_DIR, else ${XDG_STATE_HOME:-$HOME/.local/state}/halyard/devices).
 *
 * Connection handles are non-zero; 0 means "not opened". PS key reads and writes return 1 on
 * success and any other value on failure; they fail without effect on handle 0. */
#ifndef VELORUM_VELORUM_H
#define VELORUM_VELORUM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VELORUM_API __attribute__((visibility("default")))

/* Size of the buffer GetLibraryVersion fills. */
#define VELORUM_VERSION_BUFFER 512

typedef uint32_t velorum_handle_t;

/* Writes the library's version text (NUL-terminated) into a buffer of
 * VELORUM_VERSION_BUFFER bytes. */
VELORUM_API void GetLibraryVersion(char* buffer);

/* Opens the device at a device path such as "\\.\MVT0". The path "\\.\MVT0" is the built-in
 * USB device: when it does not exist yet it is created as a factory-new Veltra Plus handset.
 * kind and flags are accepted as a real library takes them. The read time-out (chip name, PS
 * key reads) and the write time-out (PS key writes, reset), in milliseconds, bound how long a
 * call waits for the device's answer; 0 or less waits without limit. */
VELORUM_API velorum_handle_t OpenByDevicePath(int kind, const char* path, int flags,
                                              int readTimeoutMs, int writeTimeoutMs);

/* Opens the device behind a transport string "SIM:NAME", as the port listing reports it. Its
 * calls wait 1000 ms at most for each answer. */
VELORUM_API velorum_handle_t OpenByTransport(const char* transport, int flags);

/* Copies why the calling thread's last call of this library failed ("the device ... did not
 * answer within 1000 ms", a device file's syntax error with its line), NUL-terminated and cut to
 * bufferSize - 1 characters. Returns 1 when the last call failed and left a text, else 0 (the
 * buffer then holds an empty text). An addition of this library: a program that must also run
 * on other device-access libraries looks it up at run time. */
VELORUM_API int GetLastDeviceError(int bufferSize, char* buffer);

VELORUM_API void CloseConnection(velorum_handle_t handle);

/* Copies the chip name, NUL-terminated and cut to bufferSize - 1 characters. Returns 1 on
 * success, 0 on failure (the buffer then holds an empty text). */
VELORUM_API int GetChipName(velorum_handle_t handle, int bufferSize, char* buffer);

/* Reads a PS key into words (room for capacity words); *wordsRead receives the length of the
 * key. stores selects the store set (1 = the ordinary stores). After a failed read the contents
 * of words are undefined: a transfer that broke off may have written into them. */
VELORUM_API int ReadPsKey(velorum_handle_t handle, uint16_t key, int stores, uint16_t capacity,
                          uint16_t* words, uint16_t* wordsRead);

/* Replaces a PS key with count words. */
VELORUM_API int WritePsKey(velorum_handle_t handle, uint16_t key, int stores, uint16_t count,
                           const uint16_t* words);

/* Restarts the chip; the connection stays usable until it is closed. */
VELORUM_API void ResetChip(velorum_handle_t handle, int flags);

#ifdef __cplusplus
}
#endif

#endif
