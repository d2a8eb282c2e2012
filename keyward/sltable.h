/// @file
/// @brief SlTable: the chip's symbol lookup table, a map from 16-bit entry ids to 32-bit values
/// that the firmware keeps in chip memory. Entry 31 holds the word address of the firmware's PS key
/// list.
///
/// A transport owns one SlTable and hands it out through get_slt(); the table reads chip memory
/// through its memory reader and keeps what it found between calls. When the transport has
/// identified the chip (ChipIdentity), the table only looks where that chip type keeps it.
///
/// Forms in chip memory, each starting with a three-word header (magic, two words of argument):
///   0xD397 plain: header word 1 is the word address of the entries, (id, value) word pairs ended
///          by id 0, at most 256 words. In the upper bank of memory space 2 (byte address above
///          0x7FFF) word 1 and the values of entries 7, 8 and 13 are relative to word 0x4000.
///   0xD397 short: (id, value) pairs from header word 2 on, ids 1 to 13, in 28 words.
///   0x7AB1 short fixed: words 1 to 3 are the values of entries 1 to 3.
///   0xD397 extended: (id, low word, high word) triples from header word 1 on, ended by id 0 or
///          after 255 words.
///   0x793D redirection: words 1 (low) and 2 (high) give the table's place, memory space in bits
///          24 to 31, byte address in bits 0 to 23.
/// Where each variant's table may lie (reader, memory space, byte address):
///   variant 0: plain 4:0x0200, plain 4:0x0100, and extended at the table pointer (the words at
///              word addresses 0xF84B, low, and 0xF84C, high, of space 4: space in bits 8 to 15
///              of the high word, byte address (high word bits 0 to 7) x 65536 + low word);
///              identified chips: plain 4:0x0200 or 4:0x0100 (CHIP_MEMORY_FIXED), extended at the
///              pointer chosen by the second word (CHIP_MEMORY_POINTER), short 4:0x13FB8
///              (CHIP_MEMORY_SHORT)
///   variant 1: plain 2:0x0200, plain 2:0x0100 without entry 9, extended 2:0x0012
///   variant 2: plain 2:0x8200, plain 2:0x0100 with entry 9, plain 2:0x8100, extended 2:0x0012
///   variant 3: extended 34:0x0012
/// A table pointer of 0 names no table.
#pragma once

#include <keyward/chipid.h>
#include <keyward/export.h>
#include <keyward/memoryreader.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

/// The symbol lookup table of a chip (see the file description). Owned by a transport and used by
/// the thread that uses the transport.
class KEYWARD_API SlTable {
  public:
    /// The header word of a plain, short or extended table.
    static constexpr uint16_t MAGIC_TABLE = 0xD397;
    /// The header word of a short fixed table.
    static constexpr uint16_t MAGIC_SHORT = 0x7AB1;
    /// The header word of a redirection.
    static constexpr uint16_t MAGIC_REDIRECT = 0x793D;
    /// The entry holding the word address of the firmware's PS key list.
    static constexpr uint16_t ENTRY_PSKEY_LIST = 31;
    ///@{
    /// The word addresses of the table pointer of variant 0.
    static constexpr uint16_t POINTER_LOW = 0xF84B;
    static constexpr uint16_t POINTER_HIGH = 0xF84C;
    ///@}
    ///@{
    /// The word addresses of the table pointer of later firmware.
    static constexpr uint16_t POINTER_LOW_LATE = 0xFDF8;
    static constexpr uint16_t POINTER_HIGH_LATE = 0xFDF9;
    ///@}

    /// An empty table that reads chip memory through `reader` (not owned).
    explicit SlTable(IMemoryReaderGP* reader = nullptr);
    /// Drops the loaded table.
    ~SlTable();
    SlTable(const SlTable&) = delete;
    SlTable& operator=(const SlTable&) = delete;

    /// Reads chip memory through `reader` (not owned) from now on.
    void set_memory_reader(IMemoryReaderGP* reader) { mReader = reader; }
    /// The memory reader.
    IMemoryReaderGP* get_memory_reader() const { return mReader; }
    /// The identity that narrows the search (not owned; null for none).
    void set_chip_identity(const ChipIdentity* identity) { mIdentity = identity; }
    /// The identity that narrows the search, or null.
    const ChipIdentity* get_chip_identity() const { return mIdentity; }

    /// Finds and loads the table of chip variant `variant` (0 to 3). A table already loaded for
    /// the same variant is kept unless `force` is set. False when no table was found (none is
    /// loaded then). A header that cannot be read is tried three times, the header retry wait
    /// apart, when only one place is searched.
    bool locate(int variant, bool force);

    /// The pause before a header read is tried again: 100 ms unless set (a simulated chip that
    /// answers at once needs none).
    static constexpr std::chrono::milliseconds DEFAULT_HEADER_RETRY_WAIT{100};
    /// Sets the pause before a header read is tried again.
    void set_header_retry_wait(std::chrono::milliseconds wait) { mHeaderRetryWait = wait; }
    /// The pause before a header read is tried again.
    std::chrono::milliseconds get_header_retry_wait() const { return mHeaderRetryWait; }

    /// Whether a loaded table holds entry `id` (false when none is loaded).
    bool has_entry(uint16_t id) const;
    /// The value of entry `id`; 0 when it is absent.
    uint32_t entry_value(uint16_t id) const;
    /// Drops the loaded table.
    void clear();

    /// Whether a table is loaded.
    bool is_loaded() const { return mEntries != nullptr; }
    /// The variant of the loaded table.
    int get_variant() const { return mVariant; }
    /// Whether the loaded table was read in the extended (32-bit value) form.
    bool is_extended() const { return mExtended; }

  private:
    enum class Reader { PLAIN, PLAIN_WITHOUT_9, PLAIN_WITH_9, SHORT, EXTENDED };
    struct KEYWARD_LOCAL Candidate {
        Reader reader;
        GenericPointer where;
    };

    KEYWARD_LOCAL std::vector<Candidate> candidates(int variant);
    KEYWARD_LOCAL bool read_pointer(uint16_t low_address, uint16_t high_address,
                                    GenericPointer& pointer);
    KEYWARD_LOCAL bool try_candidate(const Candidate& candidate, bool single);
    KEYWARD_LOCAL bool read_header(GenericPointer where, bool single, uint16_t header[3]);
    KEYWARD_LOCAL bool read_plain(GenericPointer where, bool single);
    KEYWARD_LOCAL bool read_short(GenericPointer where, bool single);
    KEYWARD_LOCAL bool read_extended(GenericPointer where, bool single);

    int mVariant;
    bool mExtended;
    IMemoryReaderGP* mReader;
    const ChipIdentity* mIdentity;
    std::map<uint16_t, uint32_t>* mEntries;
    std::chrono::milliseconds mHeaderRetryWait = DEFAULT_HEADER_RETRY_WAIT;
};
