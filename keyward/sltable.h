// SlTable: the chip's symbol lookup table, a map from 16-bit entry ids to 32-bit values that the
// firmware keeps in chip memory. Entry 31 holds the word address of the firmware's PS key list.
//
// A transport owns one SlTable and hands it out through get_slt(); the table reads chip memory
// through its memory reader and keeps what it found between calls.
//
// Table format in chip memory: a three-word header whose word 0 is the magic 0xD397 and word 1 the
// word address of the entries; the entries are (id, value) word pairs ended by id 0, at most 256
// words long. For variant 0 the header is looked for at byte address 0x0200 of memory space 4,
// then at 0x0100.
#pragma once

#include <keyward/export.h>
#include <keyward/memoryreader.h>

#include <cstdint>
#include <map>

class KEYWARD_API SlTable {
  public:
    static constexpr uint16_t MAGIC_TABLE = 0xD397;
    static constexpr uint16_t MAGIC_SHORT = 0x7AB1;
    static constexpr uint16_t MAGIC_REDIRECT = 0x793D;
    static constexpr uint16_t ENTRY_PSKEY_LIST = 31;

    explicit SlTable(IMemoryReaderGP* reader = nullptr);
    ~SlTable();
    SlTable(const SlTable&) = delete;
    SlTable& operator=(const SlTable&) = delete;

    void set_memory_reader(IMemoryReaderGP* reader) { mReader = reader; }
    IMemoryReaderGP* get_memory_reader() const { return mReader; }

    // Finds and loads the table of chip variant `variant`. A table already loaded for the same
    // variant is kept unless `force` is set. False when no table was found (none is loaded then).
    bool locate(int variant, bool force);

    // Whether a loaded table holds entry `id` (false when none is loaded).
    bool has_entry(uint16_t id) const;
    // The value of entry `id`; 0 when it is absent.
    uint32_t entry_value(uint16_t id) const;
    // Drops the loaded table.
    void clear();

    bool is_loaded() const { return mEntries != nullptr; }
    int get_variant() const { return mVariant; }
    bool is_extended() const { return mExtended; }

  private:
    bool read_header(GenericPointer where, bool single, uint16_t header[3]);
    bool read_plain(GenericPointer where, bool single);

    int mVariant;
    bool mExtended;
    IMemoryReaderGP* mReader;
    std::map<uint16_t, uint32_t>* mEntries;
};
