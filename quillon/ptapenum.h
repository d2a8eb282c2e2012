/// @file
/// @brief The plain C functions of quillon: the host interfaces and services of the device behind
/// the PTAP driver, as comma-separated texts in the caller's buffers.
///
/// This header is plain C (C99 or newer) and compiles as C++ too; it needs nothing else of
/// quillon. C++ callers may use the same functions through <quillon/ptapenumeration.h>, whose
/// class comm::ptap::CPtapEnumeration also gives the entries as maps.
///
/// Both functions query the device on the transport's default socket (initialising the
/// transport with an empty connection string, that is `trans=ptap` in `$PTAP_INTERFACE_DIR`
/// or /dev/ptap, unless the program initialised it before) and block until the device answers
/// or the read times out. They may be called from any thread; calls are carried out one at a
/// time on the transport's worker.
///
/// Each text lists one field of every entry in ascending id order, separated by commas and
/// NUL-terminated. `*size` holds the capacity in bytes of every text buffer on entry (they
/// share it) and, on ::PTAP_ENUM_SHORT_STRINGS, receives the capacity needed; `*count`
/// receives the number of entries. Nothing is written on ::PTAP_ENUM_BAD_ARGUMENT or
/// ::PTAP_ENUM_FAULT, and no text is written when the device lists nothing. On
/// ::PTAP_ENUM_FAULT the reason is recorded as the error text of the communication group of
/// the diagnostics framework (C++: `CTheMsgHnd::GetAppropriateHandler(
/// CMessageHandler::GROUP_COMMUNICATION).GetErrorMsg()`, see <ostrel/ostrel.h>).
///
/// Link with `-lquillon` (`pkg-config --libs quillon`).
#pragma once

/// Success, also when the device lists nothing (then `*count` is 0).
#define PTAP_ENUM_OK 0
/// A buffer is too small: nothing is written and `*size` receives the capacity needed.
#define PTAP_ENUM_SHORT_STRINGS 1
/// A pointer argument is null: nothing is written.
#define PTAP_ENUM_BAD_ARGUMENT 2
/// The query failed (no device, no answer, an error status): nothing is written.
#define PTAP_ENUM_FAULT 3

#ifdef __cplusplus
extern "C" {
#endif

/// Lists the device's host interfaces: their ids, kinds and names (each name up to 32
/// characters).
/// @param size   capacity of each of the three buffers on entry; the capacity needed on
///               ::PTAP_ENUM_SHORT_STRINGS
/// @param ids    receives the interface ids, for example "0,1,2"
/// @param kinds  receives the interface kinds
/// @param names  receives the interface names
/// @param count  receives the number of interfaces
/// @return one of ::PTAP_ENUM_OK, ::PTAP_ENUM_SHORT_STRINGS, ::PTAP_ENUM_BAD_ARGUMENT,
///         ::PTAP_ENUM_FAULT
__attribute__((visibility("default"))) int EnumeratePtapHifs(unsigned short* size, char* ids,
                                                             char* kinds, char* names,
                                                             unsigned short* count);

/// Lists the device's services: six fields of each service record.
/// @param size    capacity of each of the six buffers on entry; the capacity needed on
///                ::PTAP_ENUM_SHORT_STRINGS
/// @param ids     receives the service ids
/// @param words1  receives the first word of each record
/// @param words2  receives the second word of each record
/// @param lows    receives bits 0-6 of the third word of each record
/// @param bits    receives bit 7 of the third word of each record ("0" or "1")
/// @param words4  receives the fourth word of each record
/// @param count   receives the number of services
/// @return one of ::PTAP_ENUM_OK, ::PTAP_ENUM_SHORT_STRINGS, ::PTAP_ENUM_BAD_ARGUMENT,
///         ::PTAP_ENUM_FAULT
__attribute__((visibility("default"))) int EnumeratePtapServices(unsigned short* size, char* ids,
                                                                 char* words1, char* words2,
                                                                 char* lows, char* bits,
                                                                 char* words4,
                                                                 unsigned short* count);

#ifdef __cplusplus
}
#endif
