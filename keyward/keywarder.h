/// @file
/// @brief CKeyWarder: typed reads and writes of a chip's persistent store, on top of one PsServer,
/// and the host's view of the compiled-in PS key database.
///
/// It binds to a server (not owned), takes that server's error handler, and does all its PS traffic
/// through the server. Typed accessors read and write 16-bit and 32-bit numbers, bit fields,
/// presentation keys (named bit fields of a base key, resolved through the database) and the
/// fragmented local name. Keys absent from the database are accessed raw. Every failure of the
/// server is reported by the server; the messages raised here go to the same handler with the
/// title "Error", code 3 and type 0.
///
/// A CKeyWarder owns nothing: copying copies the binding, destroying it does nothing. Use one from
/// one thread at a time. Every operation returns false when no server is bound.
#pragma once

#include <keyward/canned.h>
#include <keyward/errorhandler.h>
#include <keyward/export.h>
#include <keyward/memoryreader.h>
#include <keyward/powertable.h>
#include <keyward/psfile.h>
#include <keyward/pskey_entry.h>
#include <keyward/psserver.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>

/// Typed access to one chip's persistent store through a PsServer, with the key database, PS files
/// and command streams, canned operations and power tables (see the file description).
///
/// Failures go to the server's error handler (GetErrorHandler()) and the operation returns false;
/// the handler's answer steers what happens next (@ref keyward_errors). Not thread-safe: one thread
/// at a time (@ref keyward_threading).
class KEYWARD_API CKeyWarder {
  public:
    ///@{
    /// The local name: up to 18 piece keys of 14 words from PSKEY_LOCAL_NAME0 (0x00DC) to 0x00ED,
    /// its length in words in 0x00EE, and at most 252 words.
    static constexpr uint16_t LOCAL_NAME_KEY = 0x00DC;
    static constexpr uint16_t LOCAL_NAME_LAST_PIECE = 0x00ED;
    static constexpr uint16_t LOCAL_NAME_LENGTH_KEY = 0x00EE;
    static constexpr uint16_t LOCAL_NAME_PIECE_WORDS = 14;
    static constexpr uint16_t LOCAL_NAME_MAX_WORDS = 252;
    ///@}
    /// Words a caller's buffer for get_fragmented_string must hold (the name and a final 0).
    static constexpr uint16_t LOCAL_NAME_BUFFER_WORDS = LOCAL_NAME_MAX_WORDS + 1;
    /// What a read leaves in buffer words the chip did not return.
    static constexpr uint16_t UNREAD_WORD = 0xDEAD;

    /// Bound to no server: every operation returns false until SetServer().
    CKeyWarder();
    /// Bound to `server` (not owned), as SetServer(server).
    explicit CKeyWarder(PsServer* server);

    // ---- binding and forwarding
    /// Binds `server` and takes its error handler (get_error_handler) as this object's handler.
    void SetServer(PsServer* server);
    /// Unbinds the server and its handler.
    void ClearServer();
    /// The bound server, or null.
    PsServer* GetServer() const { return server; }
    /// The handler reports go to (the server's, taken by SetServer), or null.
    kvcmd_trans_error_handler* GetErrorHandler() const { return error_handler; }
    /// Asks the server whether it supports layer A and keeps the answer for IsSupportedLayerA.
    void RefreshIsSupportedLayerA();
    /// The answer kept by the last RefreshIsSupportedLayerA().
    bool IsSupportedLayerA() const { return layer_a_supported; }
    /// The server's stores mask; 0 without a server.
    uint16_t GetStores();
    /// Sets the server's stores mask (see PsServer::SetStores).
    void SetStores(uint16_t stores);
    /// The server's boot mode; PsServer::NoBootmode() without a server.
    uint16_t GetBootmode();
    /// Selects a boot mode on the server (see PsServer::SetBootmode).
    void SetBootmode(uint16_t mode);
    /// The server's PsServer::pskv_factory_set().
    bool pskv_factory_set();
    /// The server's PsServer::pskv_factory_restore().
    bool pskv_factory_restore(bool all);
    /// Resets the chip (PsServer::reset_kv).
    bool ResetKv(reset_t reset);
    /// Resets the chip and closes the connection (PsServer::reset_kv_and_close).
    bool ResetKvAndClose(reset_t reset);
    /// Opens the server again (its open()).
    bool Reconnect();
    /// The chip's firmware id and name (at most `name_capacity` 16-bit characters).
    bool GetFirmwareId(int* const id, uint16_t* name, unsigned name_capacity);

    // ---- raw access (presentation keys are not resolved here)
    /// The key's length in words into `*length` (when not null).
    bool pskv_size(uint16_t key, uint16_t* length);
    /// Writes `count` words as the key's whole value, without resolving presentation keys.
    bool pskv_set_raw(uint16_t key, const uint16_t* data, uint16_t count);
    /// Reads the key into `buffer` (`capacity` words). The first `capacity` words are filled with
    /// 0xDEAD first, so words the chip does not return read as 0xDEAD. Reads the whole key when it
    /// fits, else the first `capacity` words; a capacity of 0 reads nothing into the buffer.
    /// `*length` (when not null) becomes the number of words read. False when the key has no
    /// value; buffer and length are then untouched.
    bool pskv_get_raw(uint16_t key, uint16_t* buffer, uint16_t capacity, uint16_t* length);
    /// As above; when `*buffer` is null, a buffer of exactly the key's size is allocated with
    /// new[] (the caller frees it with delete[]) and the whole key is read.
    bool pskv_get_raw(uint16_t key, uint16_t** buffer, uint16_t capacity, uint16_t* length);
    /// Deletes the key (PsServer::pskv_clr).
    bool pskv_clr(uint16_t key);
    /// Deletes the key from the selected stores (PsServer::pskv_clrs).
    bool pskv_clrs(uint16_t key);
    /// Whether the firmware knows the key number (PsServer::pskv_known_key).
    bool pskv_known_key(uint16_t key);
    /// Removes the key's override in the selected boot mode (PsServer::pskv_clrb).
    bool pskv_clrb(uint16_t key);

    // ---- typed access
    /// One word; presentation keys go through their base key's bit field.
    bool pskv_set_uint16(uint16_t key, uint16_t value);
    /// One word (0xDEAD when the key is empty, which is reported as an incorrect length).
    bool pskv_get_uint16(uint16_t key, uint16_t& value);
    /// Two words, most significant first.
    bool pskv_set_uint32(uint16_t key, uint32_t value);
    /// Two words, most significant first, into `value`.
    bool pskv_get_uint32(uint16_t key, uint32_t& value);
    /// The field of `bit_width` bits (0 to 16) whose lowest bit is bit `bit_offset` of the value
    /// (word bit_offset / 16, bit bit_offset % 16). Reading fails when that word lies beyond the
    /// value; writing then reports that the base key is not set.
    bool pskv_get_bits(uint16_t key, uint16_t& value, uint16_t bit_offset, uint16_t bit_width);
    /// Writes only when the field differs, unless the server variable "SPIDEBUG_REPRODUCIBLE" is
    /// "ON" (any case). When the base key has no value, or none reaching the field, it reports
    /// "Cannot set this presentation key because the base key (0x....) is not set" and returns
    /// false; but true, with nothing written, when the handler answers KVCMD_RESPONSE_ACCEPT (4,
    /// count as success).
    bool pskv_set_bits(uint16_t key, uint16_t value, uint16_t bit_offset, uint16_t bit_width);
    /// A presentation key through its base key's field (false for a key that is not one).
    bool pskv_set_presentation(uint16_t key, uint16_t value);
    /// Reads a presentation key from its base key's field (false for a key that is not one).
    bool pskv_get_presentation(uint16_t key, uint16_t& value);
    /// Presentation keys take or give one word through their field; other keys are raw.
    bool pskv_set_pres_or_raw(uint16_t key, const uint16_t* data, uint16_t count);
    /// Reads a presentation key as one word from its field, any other key as pskv_get_raw() does.
    bool pskv_get_pres_or_raw(uint16_t key, uint16_t* buffer, uint16_t capacity, uint16_t* length);
    /// As above; a null `*buffer` is allocated with new[] as pskv_get_raw() does (the caller frees
    /// it with delete[]).
    bool pskv_get_pres_or_raw(uint16_t key, uint16_t** buffer, uint16_t capacity, uint16_t* length);
    /// Writes only when the chip's value differs (always when "SPIDEBUG_REPRODUCIBLE" is "ON").
    bool pskv_set_pres_or_raw_if_different(uint16_t key, const uint16_t* data, uint16_t count);
    /// For PSKEY_LOCAL_NAME0 (0x00DC): the name of `count` words (at most 252) in 14-word pieces
    /// 0x00DC to 0x00ED and its length in 0x00EE; the pieces not needed are deleted. Longer names
    /// are refused. Any other key is written raw.
    bool set_fragmented_string(uint16_t key, const uint16_t* data, uint16_t count);
    /// For 0x00DC: reads the name into `buffer` (at least 253 words) followed by a 0 word and its
    /// length into `length`; false for a stored length of 0 or above 252. Any other key: a raw
    /// read of up to 16 words.
    bool get_fragmented_string(uint16_t key, uint16_t* buffer, uint16_t& length);

    // ---- the key database
    /// The record of `key`, or null when the database does not hold it.
    static const pskey_entry* GetKeyDetails(uint16_t key);
    /// The number of presentation keys whose base key is `key`; pointers to the first `capacity`
    /// of them, in database order, go to `entries`.
    static int HasPresentationKeys(uint16_t key, const pskey_entry** entries, int capacity);
    /// Whether the chip behind the server has the key: from the server's known-key set when it is
    /// complete, else from the database's assumed-present flags (a presentation key through its
    /// base key).
    bool key_known(uint16_t key);
    /// Length in words of a value of `structure`; -1 for variable length.
    static int StructureLen(pskey_structure structure);
    /// The enumeration list `index` (a `minimum` of a record with the enumeration constraint),
    /// ended by a null text; null for an index outside the database.
    static const string_val_pair* get_enum_list(int index);
    /// Checks that no two records share a key number; reports the first pair found.
    bool CheckValid();
    /// The database records in database order: GetKeyCount() of them.
    static size_t GetKeyCount();
    /// Record `index` of the database (0 to GetKeyCount() - 1), or null outside.
    static const pskey_entry* GetKeyDetailsAt(size_t index);

    // ---- PS files and command streams (the line syntax is described in psfile.h)
    /// Writes the key line of `key` holding `count` words to `stream`: "&01f9 = 0003". In the
    /// annotated form and with the key's database record `entry`, a "// IDENTIFIER" line comes
    /// first and an enumerated value is named after the words ("// UART link running H4").
    void WriteKey(uint16_t key, const pskey_entry* entry, const uint16_t* data, uint16_t count,
                  std::ostream& stream, FileFormat format);
    /// Writes the delete line of `key`: "&0205 -" (annotated: "&0205 - // Delete" after the
    /// identifier line). `data` and `count` are not used.
    void WriteDeleteKey(uint16_t key, const pskey_entry* entry, const uint16_t* data,
                        uint16_t count, std::ostream& stream, FileFormat format);
    /// Writes every key the chip has, in ascending order, to the file `path` (created or
    /// truncated). Each key read is reported as progress ("Dumped key 505, ...", type -1). Stops
    /// when the handler answers 1 or the server is cancelled. True when every key was walked and
    /// the file written.
    bool dump_ps(const wchar_t* path, FileFormat format);
    /// Runs the command stream in `query_path`, writing the answers of its query lines to
    /// `output_path` (created or truncated). True when the stream ran to its end.
    bool run_query(const wchar_t* output_path, const wchar_t* query_path, FileFormat format);
    /// Runs the command stream in `path`; query answers are discarded. Each applied line is
    /// reported as progress ("Altered key 505, ..."); syntax errors stop the stream with a report
    /// naming the line. True when the stream ran to its end.
    bool apply_file(const wchar_t* path);
    /// dump_ps into a stream the caller opened (a string stream, say); the server must be
    /// connected, as above. True when every key was walked and the stream took every line.
    bool dump_ps(std::ostream& stream, FileFormat format);
    /// run_query on streams the caller opened: runs the command stream `query`, writing the
    /// answers of its query lines to `output`. True when the stream ran to its end and `output`
    /// took every answer.
    bool run_query(std::ostream& output, std::istream& query, FileFormat format);
    /// apply_file on a stream the caller opened. True when the stream ran to its end.
    bool apply_file(std::istream& input);

    // ---- canned operations (canned.h)
    /// Runs the recipe whose name matches `name` without regard to case; an unknown name is
    /// reported ("Canned operation @x not supported", caption "ERROR", code 1) and changes
    /// nothing. Steps for keys that the database or the chip lacks are skipped.
    /// True when the recipe ran to its end.
    bool apply_canned(const wchar_t* name);
    /// Runs recipe `index` of the table `canned` (false outside the table).
    bool apply_canned(int index);
    /// Runs a list of steps ended by a step with key 0.
    bool apply_canned(const canned_operation* operations);
    /// Whether a recipe of that name (any case) exists.
    bool is_valid_canned(const wchar_t* name);

    // ---- power tables (powertable.h)
    /// Write the table's settings as the whole value of `key`.
    bool pskv_set_power_table(uint16_t key, const CPowerTable& table);
    /// Writes an enhanced power table as the whole value of `key`.
    bool pskv_set_enhanced_power_table(uint16_t key, const CEnhancedPowerTable& table);
    /// Writes a version-0 Bluetooth power table as the whole value of `key`.
    bool pskv_set_bluetooth_power_table_v0(uint16_t key, const CBluetoothPowerTableV0& table);
    /// Read the whole value of `key` into the table (unchanged when the read fails).
    bool pskv_get_power_table(uint16_t key, CPowerTable& table);
    /// Reads an enhanced power table (unchanged when the read fails).
    bool pskv_get_enhanced_power_table(uint16_t key, CEnhancedPowerTable& table);
    /// Reads a version-0 Bluetooth power table (unchanged when the read fails).
    bool pskv_get_bluetooth_power_table_v0(uint16_t key, CBluetoothPowerTableV0& table);

  protected:
    /// The line interpreter: runs `input` line by line until its end, a syntax error, a line
    /// whose operation asks to stop, or a cancel of the server. Query answers go to `output` in
    /// `format`. True when the input ran to its end.
    bool RunCommandStream(std::istream& input, std::ostream& output, FileFormat format);
    /// Executes one line: `query` selects query mode (answers written to `output`), else the
    /// operation is applied to the chip. Repeated while the handler's worst response is 2
    /// (retry). True when the stream must stop (the worst response is 1).
    bool perform_operation(ps_file_op op, bool query, uint16_t key, const uint16_t* data,
                           uint16_t count, std::ostream& output, FileFormat format);
    /// The database record of `key`, or null (GetKeyDetails).
    static const pskey_entry* findKey(uint16_t key);
    /// The key number to send for `key` (unchanged).
    uint16_t add_permissions(uint16_t key);
    /// Whether the server variable "SPIDEBUG_REPRODUCIBLE" is "ON", in any case.
    bool reproducible();

  private:
    /// The number of recipes in the table `canned`.
    KEYWARD_LOCAL static int get_num_canned_entries();
    /// The key walk of dump_ps, into an open stream; returns at once when a write fails.
    KEYWARD_LOCAL bool dump_keys(std::ostream& stream, FileFormat format);
    /// Applies one command line to the chip (apply mode of perform_operation).
    KEYWARD_LOCAL bool apply_operation(ps_file_op op, uint16_t key, const uint16_t* data,
                                       uint16_t count);
    /// Reads the key and writes its answer line (query mode of perform_operation).
    KEYWARD_LOCAL void query_operation(ps_file_op op, uint16_t key, const pskey_entry* entry,
                                       const uint16_t* data, uint16_t count, std::ostream& output,
                                       FileFormat format);
    /// Sends a progress note (type -1, code 0, caption "Operation performed") to the handler:
    /// `what` ("Altered key"), the key in decimal and its label, cut to 100 characters.
    KEYWARD_LOCAL void report_progress(const wchar_t* what, uint16_t key, const pskey_entry* entry);
    /// The handler's worst response (0 without a handler), and clearing it.
    KEYWARD_LOCAL kvcmd_trans_error_response worst_response() const;
    KEYWARD_LOCAL void clear_worst_response();
    /// Whether the handler's record holds no error. A server read says true whenever the chip
    /// answered, also with a bad status it reported; the words of such a read are not a value.
    KEYWARD_LOCAL bool no_error_recorded() const;

    /// Reads a key of `size` words into `buffer`, filled with 0xDEAD first (`capacity` words; the
    /// caller's own buffer when `callers_buffer`, else one allocated for the key).
    KEYWARD_LOCAL bool read_sized(uint16_t key, uint16_t size, uint16_t* buffer, uint16_t capacity,
                                  bool callers_buffer, uint16_t* length);
    /// A key's whole value, read as the allocating pskv_get_raw reads it, for the accessors and
    /// files that read a value and drop it again. Short values, which most keys have, stay on the
    /// stack: a dump or an applied file reads every key it touches, and an allocation per key
    /// cost more than the rest of the work on the host.
    class KEYWARD_LOCAL WholeValue {
      public:
        WholeValue() = default;
        WholeValue(const WholeValue&) = delete;
        WholeValue& operator=(const WholeValue&) = delete;

        uint16_t* Allocate(uint16_t size) {
            if (size > INLINE_WORDS) {
                mHeap = std::make_unique<uint16_t[]>(size);
                mWords = mHeap.get();
            }
            return mWords;
        }
        uint16_t* words() { return mWords; }
        uint16_t length = 0;  ///< words read

      private:
        static constexpr uint16_t INLINE_WORDS = 32;
        uint16_t mInline[INLINE_WORDS];
        std::unique_ptr<uint16_t[]> mHeap;
        uint16_t* mWords = mInline;
    };
    KEYWARD_LOCAL bool read_whole(uint16_t key, WholeValue& value);
    /// Formats a message with the wide printf `format` (wide texts as %ls; the result cut to 254
    /// characters) and reports it with `title` as caption, code 3 and type 0. Returns the
    /// handler's answer; without a handler the text goes to the diagnostics and the answer is 1.
    KEYWARD_LOCAL kvcmd_trans_error_response RaiseError(const wchar_t* title, const wchar_t* format,
                                                        ...);

    bool layer_a_supported;
    PsServer* server;
    kvcmd_trans_error_handler* error_handler;
};
