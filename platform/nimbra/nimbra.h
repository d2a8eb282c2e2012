/* Nimbra: the list of programming ports. This build reports every simulated Varnak device in
 * the device directory (see velorum.h) except the built-in USB device "\\.\MVT0": the file
 * NAME.vdev is the port NAME with the transport string "SIM:NAME". */
#ifndef NIMBRA_NIMBRA_H
#define NIMBRA_NIMBRA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NIMBRA_API __attribute__((visibility("default")))

/* Fills names and transports with comma-separated lists (entry i of one belongs to entry i of
 * the other), NUL-terminated, and sets *count to the number of ports. *length is the size of
 * each buffer in bytes. Returns 0 on success. When a list does not fit, returns non-zero and
 * sets *length to the size both buffers need; the caller retries with buffers of that size.
 * Returns non-zero with *length 0 when the ports cannot be listed at all. */
NIMBRA_API int ListProgrammingPorts(uint16_t* length, char* names, char* transports,
                                    uint16_t* count);

#ifdef __cplusplus
}
#endif

#endif
