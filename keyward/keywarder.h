// CKeyWarder: typed reads and writes of a chip's persistent store, on top of one PsServer, and
// the host's view of the compiled-in PS key database.
//
// It binds to a server (not owned), takes that server's error handler, and does all its PS traffic
// through the server. Typed accessors read and write 16-bit and 32-bit numbers, bit fields,
// presentation keys (named bit fields of a base key, resolved through the database) and the
// fragmented local name. Keys absent from the database are accessed raw. Every failure of the
// server is reported by the server; the messages raised here go to the same handler with the
// title "Error", code 3 and type 0.
//
// A CKeyWarder owns nothing: copying copies the binding, destroying it does nothing. Use one from
// one thread at a time. Every operation returns false when no server is bound.
#pragma once

#include <keyward/errorhandler.h>
#include <keyward/export.h>
#include <keyward/memoryreader.h>
#include <keyward/pskey_entry.h>
#include <keyward/psserver.h>

#include <cstddef>
#include <cstdint>

class KEYWARD_API CKeyWarder {
  public:
    // The local name: up to 18 piece keys of 14 words from PSKEY_LOCAL_NAME0, and its length key.
    static constexpr uint16_t LOCAL_NAME_KEY = 0x00DC;
    static constexpr uint16_t LOCAL_NAME_LAST_PIECE = 0x00ED;
    static constexpr uint16_t LOCAL_NAME_LENGTH_KEY = 0x00EE;
    static constexpr uint16_t LOCAL_NAME_PIECE_WORDS = 14;
    static constexpr uint16_t LOCAL_NAME_MAX_WORDS = 252;
    // Words a caller's buffer for get_fragmented_string must hold (the name and a final 0).
    static constexpr uint16_t LOCAL_NAME_BUFFER_WORDS = LOCAL_NAME_MAX_WORDS + 1;
    // What a read leaves in buffer words the chip did not return.
    static constexpr uint16_t UNREAD_WORD = 0xDEAD;

    CKeyWarder();
    explicit CKeyWarder(PsServer* server);

    // ---- binding and forwarding
    // Binds `server` and takes its error handler (get_error_handler) as this object's handler.
    void SetServer(PsServer* server);
    void ClearServer();
    PsServer* GetServer() const { return server; }
    kvcmd_trans_error_handler* GetErrorHandler() const { return error_handler; }
    // Asks the server whether it supports layer A and keeps the answer for IsSupportedLayerA.
    void RefreshIsSupportedLayerA();
    bool IsSupportedLayerA() const { return layer_a_supported; }
    // The server's stores mask; 0 without a server.
    uint16_t GetStores();
    void SetStores(uint16_t stores);
    uint16_t GetBootmode();
    void SetBootmode(uint16_t mode);
    bool pskv_factory_set();
    bool pskv_factory_restore(bool all);
    bool ResetKv(reset_t reset);
    bool ResetKvAndClose(reset_t reset);
    // Opens the server again (its open()).
    bool Reconnect();
    // The chip's firmware id and name (at most `name_capacity` 16-bit characters).
    bool GetFirmwareId(int* const id, uint16_t* name, unsigned name_capacity);

    // ---- raw access (presentation keys are not resolved here)
    // The key's length in words into `*length` (when not null).
    bool pskv_size(uint16_t key, uint16_t* length);
    bool pskv_set_raw(uint16_t key, const uint16_t* data, uint16_t count);
    // Reads the key into `buffer` (`capacity` words). The first `capacity` words are filled with
    // 0xDEAD first, so words the chip does not return read as 0xDEAD. Reads the whole key when it
    // fits, else the first `capacity` words; a capacity of 0 reads nothing into the buffer.
    // `*length` (when not null) becomes the number of words read. False when the key has no
    // value; buffer and length are then untouched.
    bool pskv_get_raw(uint16_t key, uint16_t* buffer, uint16_t capacity, uint16_t* length);
    // As above; when `*buffer` is null, a buffer of exactly the key's size is allocated with
    // new[] (the caller frees it with delete[]) and the whole key is read.
    bool pskv_get_raw(uint16_t key, uint16_t** buffer, uint16_t capacity, uint16_t* length);
    bool pskv_clr(uint16_t key);
    bool pskv_clrs(uint16_t key);
    bool pskv_known_key(uint16_t key);
    bool pskv_clrb(uint16_t key);

    // ---- typed access
    // One word; presentation keys go through their base key's bit field.
    bool pskv_set_uint16(uint16_t key, uint16_t value);
    // One word (0xDEAD when the key is empty, which is reported as an incorrect length).
    bool pskv_get_uint16(uint16_t key, uint16_t& value);
    // Two words, most significant first.
    bool pskv_set_uint32(uint16_t key, uint32_t value);
    bool pskv_get_uint32(uint16_t key, uint32_t& value);
    // The field of `bit_width` bits (0 to 16) whose lowest bit is bit `bit_offset` of the value
    // (word bit_offset / 16, bit bit_offset % 16). Reading fails when that word lies beyond the
    // value; writing then reports that the base key is not set.
    bool pskv_get_bits(uint16_t key, uint16_t& value, uint16_t bit_offset, uint16_t bit_width);
    // Writes only when the field differs, unless the server variable "SPIDEBUG_REPRODUCIBLE" is
    // "ON" (any case).
    bool pskv_set_bits(uint16_t key, uint16_t value, uint16_t bit_offset, uint16_t bit_width);
    // A presentation key through its base key's field (false for a key that is not one).
    bool pskv_set_presentation(uint16_t key, uint16_t value);
    bool pskv_get_presentation(uint16_t key, uint16_t& value);
    // Presentation keys take or give one word through their field; other keys are raw.
    bool pskv_set_pres_or_raw(uint16_t key, const uint16_t* data, uint16_t count);
    bool pskv_get_pres_or_raw(uint16_t key, uint16_t* buffer, uint16_t capacity, uint16_t* length);
    bool pskv_get_pres_or_raw(uint16_t key, uint16_t** buffer, uint16_t capacity, uint16_t* length);
    // Writes only when the chip's value differs (always when "SPIDEBUG_REPRODUCIBLE" is "ON").
    bool pskv_set_pres_or_raw_if_different(uint16_t key, const uint16_t* data, uint16_t count);
    // For PSKEY_LOCAL_NAME0 (0x00DC): the name of `count` words (at most 252) in 14-word pieces
    // 0x00DC to 0x00ED and its length in 0x00EE; the pieces not needed are deleted. Longer names
    // are refused. Any other key is written raw.
    bool set_fragmented_string(uint16_t key, const uint16_t* data, uint16_t count);
    // For 0x00DC: reads the name into `buffer` (at least 253 words) followed by a 0 word and its
    // length into `length`; false for a stored length of 0 or above 252. Any other key: a raw
    // read of up to 16 words.
    bool get_fragmented_string(uint16_t key, uint16_t* buffer, uint16_t& length);

    // ---- the key database
    // The record of `key`, or null when the database does not hold it.
    static const pskey_entry* GetKeyDetails(uint16_t key);
    // The number of presentation keys whose base key is `key`; pointers to the first `capacity`
    // of them, in database order, go to `entries`.
    static int HasPresentationKeys(uint16_t key, const pskey_entry** entries, int capacity);
    // Whether the chip behind the server has the key: from the server's known-key set when it is
    // complete, else from the database's assumed-present flags (a presentation key through its
    // base key).
    bool key_known(uint16_t key);
    // Length in words of a value of `structure`; -1 for variable length.
    static int StructureLen(pskey_structure structure);
    // The enumeration list `index` (a `minimum` of a record with the enumeration constraint),
    // ended by a null text; null for an index outside the database.
    static const string_val_pair* get_enum_list(int index);
    // Checks that no two records share a key number; reports the first pair found.
    bool CheckValid();
    // The database records in database order: GetKeyCount() of them.
    static size_t GetKeyCount();
    static const pskey_entry* GetKeyDetailsAt(size_t index);

  protected:
    static const pskey_entry* findKey(uint16_t key);
    // The key number to send for `key` (unchanged).
    uint16_t add_permissions(uint16_t key);
    // Whether the server variable "SPIDEBUG_REPRODUCIBLE" is "ON", in any case.
    bool reproducible();

  private:
    // Reads a key of `size` words into `buffer`, filled with 0xDEAD first (`capacity` words; the
    // caller's own buffer when `callers_buffer`, else one allocated for the key).
    bool read_sized(uint16_t key, uint16_t size, uint16_t* buffer, uint16_t capacity,
                    bool callers_buffer, uint16_t* length);
    // Formats a message with the wide printf `format` (wide texts as %ls; the result cut to 254
    // characters) and reports it with `title` as caption, code 3 and type 0. Returns the
    // handler's answer; without a handler the text goes to the diagnostics and the answer is 1.
    kvcmd_trans_error_response RaiseError(const wchar_t* title, const wchar_t* format, ...);

    bool layer_a_supported;
    PsServer* server;
    kvcmd_trans_error_handler* error_handler;
};
