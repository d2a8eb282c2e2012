/// @file
/// @brief SimChip: a simulated radio chip that answers KVCMD requests, for tests, tools and
/// benchmarks.
///
/// The model
/// ---------
/// Persistent store. Five stores, each a map from key number to value (16-bit words):
///
///   bit     name            writable  kept in the image  notes
///   0x0008  transient       yes       no                 lost on every reset
///   0x0001  implementation  yes       yes                where writes go by default
///   0x0002  factory         yes       yes                filled by factory-set
///   0x0010  rom             no        yes                firmware values
///   0x0004  defaults        no        yes                firmware defaults
///
/// A read searches the stores in the order 0x0008, 0x0001, 0x0002, 0x0010, 0x0004 and answers the
/// first value found, within the stores selected by the request's stores word (0 selects all). A
/// write goes to the first writable store of that order within the selection (0: the
/// implementation store); a selection of read-only stores only is answered "read only".
///
/// Firmware. The firmware knows a set of key numbers (by default every ordinary key of keyward's
/// database and the presentation keys it resolves, as a real firmware's list names the keys it
/// presents; RemoveFirmwareKeys or "firmware-keys ordinary" give a list without them). Its key
/// list, as (first, last) word pairs ended by a pair whose first key is 0, lies in chip memory at
/// the word address given by entry 31 of the symbol lookup table. A request for a key the firmware
/// does not know is answered "access denied" (status 5), except a size request, which answers
/// status 8 with key field 0 (that is how a host learns that a key is unknown). Setting a key
/// through this class (SetKey, or a chip image) makes the firmware know it.
///
/// Presentation access. Without the raw bit 0x0080 in the stores word, the firmware resolves its
/// presentation keys (by default the presentation keys of keyward's database): such a key has no
/// storage of its own and reads and writes a bit field of its base key. With the raw bit only
/// stored keys exist.
///
/// Commands and statuses (type 0 get, 2 set; the response has type 1 and echoes the sequence
/// number):
///   PS 0x7003         get: the value (at most the words asked for; length field = whole length),
///                     8 when no selected store holds it; set: 0, 6 read-only selection,
///                     9 write-protected
///   PSSIZE 0x3006     get: size; 8 when absent (key field kept), 8 with key field 0 when unknown
///   PSNEXT 0x3005     get: next key stored in the selected stores (0: none)
///   PSNEXT_ALL 0x3013 get: next key stored in any store (0: none)
///   PSCLR 0x4818      set: deletes from the transient and implementation stores; 8 when neither
///                     held it
///   PSCLRS 0x500C     set: deletes from the selected writable stores; 8 when none held it, 6 for
///                     a read-only selection
///   FACTORY_SET 0x000C          set: copies the implementation store into the factory store
///   FACTORY_RESTORE 0x400D      set: drops the implementation and transient values of every key
///                               that has a factory value
///   FACTORY_RESTORE_ALL 0x400E  set: empties the implementation and transient stores
///   MEMORY 0x1001     get/set words of memory space 4 at a word address; 5 while the chip is
///                     secure, 8 outside the memory
/// Any command: 1 for an unknown varid, 4 for a malformed PDU (shorter than 18 bytes, odd, length
/// field not matching, type other than 0 or 2, fewer value words than announced), 2 when a
/// request or response would exceed the chip's largest PDU (4096 words by default), 7 (write
/// only) for a get of a command that only sets, 6 (read only) for a set of one that only gets, 9
/// for PS writes while write-protected.
///
/// Memory. Memory spaces of 16-bit words, addressed by word (GenericPointer byte address = 2 x
/// word address). Space 4 (65536 words) always exists; AddMemorySpace adds others. Reads of words
/// never written give 0. Two layers: the firmware's own content (the symbol lookup table, the key
/// list and the identification words, rebuilt whenever the firmware changes) and words written
/// explicitly (WriteMemory, KVCMD memory writes, "mem" lines), which take precedence and are kept
/// in the image. Fixed words of space 4: 0xFF9A the chip's version word (the word the security
/// probe reads), 0xFF9B its second identification word, 0xFF9C its sub id.
///
/// Security. A secure chip refuses every memory read (KVCMD status 5 and transport reads of other
/// spaces), so hosts fall back to walking the keys with PSNEXT_ALL.
///
/// Faults, for tests: a status for a command or a key, transact results in sequence, a thrown
/// kvcmd_trans_exception, a delay per request, an unreachable chip (opens fail), a silent chip
/// (requests get no answer).
///
/// Counters: transacts, requests per varid and per (varid, key), opens, resets, the last requests
/// received (bytes), and transacts that overlapped another one (two threads inside at once).
///
/// Chip image. A text file, one directive a line; lines whose first non-blank character is '#'
/// are comments. Numbers are hexadecimal unless noted:
///
///   image-format 2                       decimal: the format, written first (see below)
///   firmware-id 4120                     decimal firmware id (get_firmware_id)
///   firmware-name Simulated firmware     the rest of the line
///   chip-words 0040 0022 0000            version word, second word, sub id
///   secure off                           on|off: memory reads refused
///   write-protected off                  on|off: PS writes refused
///   layer-a off                          on|off: is_layer_a_supported
///   max-pdu-words 4096                   decimal
///   var SPIDEBUG_REPRODUCIBLE ON         a getvar setting (name, then the rest of the line)
///   firmware-keys default                or ranges: firmware-keys 0001-0003 0005 ... (accumulate);
///                                        ordinary: the default without the presentation keys
///   presentation default                 or none, or: presentation 0205 0191 16 16 (key, base
///                                        key, decimal bit offset and width; accumulate)
///   table 4 0100 0110 4000               lookup table: space, header, entries and key list word
///                                        addresses (the key list is in space 4); or: table none
///   table-form plain                     plain, short, fixed or extended
///   table-redirect 2 0009                a redirection to the table, put at space 2, word 0009
///   table-pointer f84b                   the table pointer at words f84b and f84c of space 4
///   symbol 0009 1234                     an extra lookup-table entry (id, value)
///   memory-space 2 8000                  another memory space and its size in words
///   mem 4 ff00 0001 0002                 words written explicitly: space, word address, words
///   store 0001                           the store the key lines below belong to
///   &01f9 = 0003                         a key and its words, as in a PS file
///   end                                  the last line of an image; only blank lines and
///                                        comments may follow it
///
/// Images are written with the line "image-format 2" at their top, and such an image without its
/// end line was cut short and is refused. An image without an image-format line (written by an
/// earlier version, or by hand) may leave out the end line, but its last line must be whole. An
/// empty image is refused; a blank chip is made with SimChip's constructor, not from a file.
///
/// Images are written atomically (a temporary file renamed over the old one); the transient store
/// and the fault switches and counters are not kept.
///
/// Every member is safe to call from any thread.
#pragma once

#include <keyward/keyward.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

/// Marks what the kvcmdsim library exports.
#define KVCMDSIM_API __attribute__((visibility("default")))
/// Marks the inside of an exported class as not exported.
#define KVCMDSIM_LOCAL __attribute__((visibility("hidden")))

/// The simulated chip and its KVCMD transport.
namespace kvcmdsim {

///@{
/// The five stores, as bits of a stores mask: implementation, factory, defaults, transient, ROM.
constexpr uint16_t STORE_IMPLEMENTATION = 0x0001;
constexpr uint16_t STORE_FACTORY = 0x0002;
constexpr uint16_t STORE_DEFAULTS = 0x0004;
constexpr uint16_t STORE_TRANSIENT = 0x0008;
constexpr uint16_t STORE_ROM = 0x0010;
/// All five stores.
constexpr uint16_t ALL_STORES = 0x001F;
/// The bit of a request's stores word that asks for raw access.
constexpr uint16_t RAW_ACCESS = 0x0080;
/// The order in which reads search the stores.
constexpr uint16_t SEARCH_ORDER[5] = {STORE_TRANSIENT, STORE_IMPLEMENTATION, STORE_FACTORY,
                                      STORE_ROM, STORE_DEFAULTS};

/// The data memory space, where the identification words and the key list lie.
constexpr uint32_t DATA_SPACE = 4;
///@{
/// Word addresses of the identification words in the data space: version word, second word, sub id.
constexpr uint16_t VERSION_WORD_ADDRESS = 0xFF9A;
constexpr uint16_t SECOND_WORD_ADDRESS = 0xFF9B;
constexpr uint16_t SUB_ID_ADDRESS = 0xFF9C;
///@}

/// A warm reset: clears the transient store.
constexpr reset_t RESET_WARM = 0;
/// A cold reset: clears the transient store.
constexpr reset_t RESET_COLD = 1;

/// A range of key numbers, both ends included.
struct KeyRange {
    /// The first key.
    uint16_t first;
    /// The last key.
    uint16_t last;
    /// True when both ends are equal.
    bool operator==(const KeyRange&) const = default;
};

/// Where a presentation key's field lies in its base key.
struct PresentationField {
    /// The key holding the field.
    uint16_t base_key;
    /// The field's lowest bit, counted from bit 0 of word 0.
    uint16_t bit_offset;
    /// The field's width in bits.
    uint16_t bit_width;
    /// True when all three are equal.
    bool operator==(const PresentationField&) const = default;
};

/// Where and in which form the firmware keeps its symbol lookup table, and where its key list
/// lies. Addresses are word addresses; a space other than 4 must exist (AddMemorySpace).
struct TableLayout {
    /// The forms of a table.
    enum Form {
        PLAIN,     ///< header (0xD397, entries address, 0), (id, value) pairs at `entries`
        SHORT,     ///< header (0xD397, 0) followed by (id, value) pairs of ids 1 to 13
        FIXED,     ///< 0x7AB1 and the values of entries 1, 2 and 3; no key list entry
        EXTENDED,  ///< 0xD397 followed by (id, low word, high word) triples
    };
    /// Whether the firmware has a table at all.
    bool present = true;
    /// The table's form.
    Form form = PLAIN;
    uint32_t space = DATA_SPACE;  ///< space of the header and the entries
    uint32_t header = 0x0100;     ///< byte address 0x0200
    uint32_t entries = 0x0110;    ///< PLAIN only; in the upper bank of space 2 (header from
                                  ///< 0x4000 on) at least 0x4000
    uint32_t key_list = 0x4000;   ///< in space 4
    /// A redirection (0x793D) to the header, at this word of `redirect_space`; none when
    /// redirect_space is 0.
    uint32_t redirect_space = 0;
    /// The word of the redirection in `redirect_space`.
    uint32_t redirect_at = 0;
    /// The table pointer: the words at `pointer_at` (low) and pointer_at + 1 (high) of space 4
    /// name the redirection when there is one, else the header. None when 0.
    uint32_t pointer_at = 0;
};

/// One step of the link for a transact, as queued by the fault switches.
struct LinkStep {
    /// What happens to the transact.
    enum Kind {
        PROCESS,  ///< the request is processed
        FAIL,     ///< the transact fails with `result`
        THROW,    ///< the transact throws an exception with `text`
    };
    Kind kind = PROCESS;  ///< what happens
    int result = 0;       ///< FAIL: what transact returns
    std::wstring text;    ///< THROW: the exception's text
};

/// A simulated chip (see the file description). Every member may be called from any thread.
class KVCMDSIM_API SimChip {
  public:
    /// A blank chip: empty stores, the standard firmware (every ordinary key of keyward's database
    /// known, its presentation keys resolved, both in its key list), the lookup table at its
    /// default place, not secure.
    SimChip();
    /// Saves an attached image that has unsaved changes (best effort; see Flush).
    ~SimChip();
    SimChip(const SimChip&) = delete;
    SimChip& operator=(const SimChip&) = delete;

    // ---- persistent store
    /// Stores a value in one store (the firmware then knows the key).
    void SetKey(uint16_t store, uint16_t key, const std::vector<uint16_t>& value);
    /// The value of `key` in one store.
    std::optional<std::vector<uint16_t>> GetKey(uint16_t store, uint16_t key) const;
    /// The value a read sees: the first store of the search order within `stores` (0: all).
    std::optional<std::vector<uint16_t>> ReadKey(uint16_t key, uint16_t stores = 0) const;
    /// Removes `key` from one store; false when it was not there.
    bool EraseKey(uint16_t store, uint16_t key);
    /// Empties one store.
    void ClearStore(uint16_t store);
    /// Keys held by one store, ascending.
    std::vector<uint16_t> KeysIn(uint16_t store) const;

    // ---- firmware
    /// The firmware's key list: the key numbers it knows, as ranges.
    void SetFirmwareKeys(const std::vector<KeyRange>& ranges);
    /// Adds a range to the firmware's key list.
    void AddFirmwareKeys(KeyRange range);
    /// Removes a range from the firmware's key list.
    void RemoveFirmwareKeys(KeyRange range);
    /// The firmware's key list.
    std::vector<KeyRange> FirmwareKeys() const;
    /// Forgets the presentation keys the firmware resolves.
    void ClearPresentationKeys();
    /// The firmware's build id and name (get_firmware_id).
    void SetFirmwareId(int id, const std::wstring& name);
    /// The firmware's build id.
    int FirmwareId() const;
    /// The firmware's name.
    std::wstring FirmwareName() const;
    /// The identification words at 0xFF9A, 0xFF9B and 0xFF9C of space 4.
    void SetChipWords(uint16_t version, uint16_t second, uint16_t sub_id);
    /// Whether the firmware supports layer A key access.
    void SetLayerA(bool supported);
    /// Whether the firmware supports layer A key access.
    bool LayerA() const;
    /// A secure chip refuses memory reads (status access denied).
    void SetSecure(bool secure);
    /// Whether the chip is secure.
    bool Secure() const;
    /// A write-protected chip refuses PS writes and deletions.
    void SetWriteProtected(bool prot);
    /// The longest PDU the chip accepts, in words; longer requests get status too big.
    void SetMaxPduWords(uint16_t words);
    /// getvar settings; an unset name reads "".
    void SetVar(const std::string& name, const std::string& value);
    /// Unsets a getvar setting.
    void RemoveVar(const std::string& name);
    /// A getvar setting; "" when unset.
    std::string Var(const std::string& name) const;

    // ---- memory
    /// Adds a memory space of `words` words.
    void AddMemorySpace(uint32_t space, uint32_t words);
    /// Writes explicit words; false when they do not fit in the space.
    bool WriteMemory(uint32_t space, uint32_t word_address, const std::vector<uint16_t>& words);
    /// Reads words as the chip sees them; false outside the space.
    bool ReadMemory(uint32_t space, uint32_t word_address, uint32_t count, uint16_t* out) const;
    /// Forgets every explicitly written word.
    void ClearWrittenMemory();
    /// Where and how the firmware keeps its lookup table.
    void SetTableLayout(const TableLayout& layout);
    /// Where and how the firmware keeps its lookup table.
    TableLayout GetTableLayout() const;
    /// Extra lookup-table entries (entry 31 is always the key list).
    void SetSymbol(uint16_t id, uint16_t value);
    /// Removes an extra lookup-table entry.
    void RemoveSymbol(uint16_t id);

    // ---- counters
    /// How many transacts reached the chip since the last ResetCounters().
    uint64_t TransactCount() const;
    /// How many requests of `varid` the chip received.
    uint64_t RequestCount(uint16_t varid) const;
    /// How many requests of `varid` for `key` (payload word 0) the chip received.
    uint64_t RequestCount(uint16_t varid, uint16_t key) const;
    /// How many times a transport opened the chip.
    uint64_t OpenCount() const;
    /// How many resets the chip received.
    uint64_t ResetCount() const;
    /// How many transacts began while another was still running (0 for a correct single user).
    uint64_t OverlappingTransacts() const;
    /// The last requests received (at most 256), oldest first.
    std::vector<std::vector<uint8_t>> RequestLog() const;
    /// Sets every counter to 0 and empties the request log.
    void ResetCounters();

    // ---- faults
    /// The next `times` requests of `varid` (0: any) for `key` (-1: any; the key is payload word
    /// 0) are answered with `status` and change nothing. `times` -1: until ClearFaults.
    void FailRequests(uint16_t varid, int key, uint16_t status, int times = 1);
    /// The next transacts return these results without reaching the chip (0: processed normally).
    void QueueTransactResults(const std::vector<int>& results);
    /// The next transact throws a kvcmd_trans_exception (allocated with new) with this text.
    void QueueException(const std::wstring& text);
    /// Every transact takes at least `delay`.
    void SetRequestDelay(std::chrono::microseconds delay);
    /// An unreachable chip cannot be opened; a silent one (SetSilent) never answers (transact
    /// returns 2).
    void SetUnreachable(bool unreachable);
    /// Sets or clears the silent switch.
    void SetSilent(bool silent);
    /// Clears every fault switch above.
    void ClearFaults();

    // ---- chip image
    /// Replaces the chip's state with the image in `path`, which must be a regular file. On
    /// failure the chip is unchanged and `error` (when given) says why, with the line number.
    bool Load(const std::string& path, std::string* error = nullptr);
    /// The same from image text; `error` carries the line number only.
    bool LoadText(const std::string& text, std::string* error = nullptr);
    /// Writes the image atomically.
    bool Save(const std::string& path, std::string* error = nullptr) const;
    /// Loads `path` when it exists (else keeps this chip and creates the file on the first flush)
    /// and remembers it; Flush then saves changes there. An image that exists but cannot be read
    /// is an error, never taken for a new one.
    bool AttachImage(const std::string& path, std::string* error = nullptr);
    /// The attached image's path; "" when none.
    std::string ImagePath() const;
    /// Saves the attached image when the chip changed since it was loaded or saved. True when
    /// there is nothing to save or saving worked.
    bool Flush(std::string* error = nullptr);
    /// Whether the chip changed since its image was loaded or saved.
    bool HasUnsavedChanges() const;

    // ---- the link, used by SimTransport
    /// Whether the chip can be opened (not unreachable).
    bool Reachable() const;
    /// Counts one open (OpenCount).
    void CountOpen();
    /// Clears the transient store. False for an unknown kind.
    bool Reset(reset_t how);
    /// One request through the link: applies the link faults and the delay, processes the
    /// request and assigns the response. Returns 0 when a response came back, else the failure
    /// result (2 for a silent chip). May throw a kvcmd_trans_exception pointer. The chip keeps a
    /// handle on the last response it gave, and builds the next one in that body once no other
    /// handle holds it (a response still held is never written again).
    int Exchange(const PDU& request, PDU& response);
    /// The same with the link's sequence number: the chip sees `request` with `sequence` in its
    /// sequence number field, and the request needs no copy to carry it.
    int Exchange(const PDU& request, uint16_t sequence, PDU& response);
    /// Reads memory of any space the way a debug link would: false while secure or outside.
    bool DebugRead(uint32_t space, uint32_t word_address, uint32_t count, uint16_t* out) const;

  private:
    struct KVCMDSIM_LOCAL State;

    KVCMDSIM_LOCAL PDU Process(const PDU& request, uint16_t sequence);
    KVCMDSIM_LOCAL LinkStep NextLinkStep();

    mutable std::mutex mLock;
    std::unique_ptr<State> mState;
};

}  // namespace kvcmdsim
