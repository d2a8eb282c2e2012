/// @file
/// @brief Chip identification: the catalogue of chip types and the identity of the chip behind a
/// server.
///
/// A chip tells what it is through two identification words (a version word and a second word)
/// and, on some types, a sub id. ChipIdentity looks them up in the constant catalogue of chip
/// types; the matched record says how the chip's memory must be read, which the lookup table
/// search (SlTable) uses to narrow its candidates.
///
/// The catalogue has 46 records numbered 0 to 45; record 0 stands for an unknown device and is
/// never matched. Chip ids from the version word (bits 8 to 12) lie below 0x20, chip ids from the
/// second word (its low byte) from 0x20 up. Two kinds of records share a chip id: a pair told
/// apart by sub id (records 12 and 13, 18 and 19), and the pair 30 and 31, told apart by the
/// version word alone: record 30 is the older silicon and is passed over when the high byte of the
/// word the id came from is 0x41 or more.
#pragma once

#include <keyward/export.h>

#include <cstddef>
#include <cstdint>

/// How the lookup table of a chip type is found in memory (the memory-access class).
enum : uint32_t {
    CHIP_MEMORY_SEARCH = 0,   ///< no fixed place: try the usual places and the table pointer
    CHIP_MEMORY_FIXED = 1,    ///< at byte 0x0200 of space 4 (0x0100 when the version id is 0)
    CHIP_MEMORY_POINTER = 2,  ///< through a table pointer at a place chosen by the second word
    CHIP_MEMORY_SHORT = 3,    ///< a short table at byte 0x13FB8 of space 4
    CHIP_MEMORY_BANKED = 4,   ///< banked memory; searched like CHIP_MEMORY_SEARCH
};

/// Where the variant-1 and variant-2 lookup tables lie (ChipMemoryMap placements); "any" tries
/// every place of the variant.
enum : uint32_t {
    CHIP_V1_ANY = 0,        ///< variant 1: try every place
    CHIP_V1_LOW_0200 = 1,   ///< space 2, byte 0x0200
    CHIP_V1_LOW_0100 = 2,   ///< space 2, byte 0x0100, a table without entry 9
    CHIP_V1_EXTENDED = 3,   ///< space 2, byte 0x0012, extended form
    CHIP_V2_ANY = 0,        ///< variant 2: try every place
    CHIP_V2_HIGH_8200 = 1,  ///< space 2, byte 0x8200 (upper bank)
    CHIP_V2_LOW_0100 = 2,   ///< space 2, byte 0x0100, a table with entry 9
    CHIP_V2_HIGH_8100 = 3,  ///< space 2, byte 0x8100, then byte 0x0100 with entry 9
    CHIP_V2_EXTENDED = 4,   ///< space 2, byte 0x0012, extended form
};

/// Release state of a chip type (ChipRecord::flags).
enum : uint32_t {
    CHIP_PRODUCTION = 0,          ///< in production
    CHIP_ENGINEERING_SAMPLE = 1,  ///< engineering samples only
    CHIP_WITHDRAWN = 2,           ///< withdrawn
};

/// What a family of chips shares in its instruction set.
struct ChipArchRoutines {
    /// The name of the instruction set.
    const char* instruction_set;
    uint32_t word_bytes;  ///< bytes per memory word
};

/// A family of chip types (shared by several records).
struct ChipArchitecture {
    uint32_t architecture_class;       ///< 0 to 5
    uint32_t memory_access_class;      ///< CHIP_MEMORY_*
    uint32_t address_width_class;      ///< 0: 16-bit, 1: 24-bit, 2: 32-bit addresses
    const ChipArchRoutines* routines;  ///< what the family shares in its instruction set
    uint32_t further_class;            ///< radio generation
};

/// The memory of a chip type (shared by several records).
struct ChipMemoryMap {
    uint32_t data_kwords;         ///< data memory, in 1024 words
    uint32_t program_kwords;      ///< program memory, in 1024 words
    uint32_t variant1_placement;  ///< CHIP_V1_*
    uint32_t variant2_placement;  ///< CHIP_V2_*
};

/// One chip type of the catalogue.
struct ChipRecord {
    uint32_t chip_index;                   ///< the record's position
    uint32_t chip_id;                      ///< the number the chip reports
    uint32_t sub_id;                       ///< 0: any
    const char* name;                      ///< may be empty
    const char* code_name;                 ///< the type's code name, may be empty
    const ChipArchitecture* architecture;  ///< the type's family
    const ChipMemoryMap* memory_map;       ///< the type's memory
    uint32_t flags;  ///< CHIP_PRODUCTION, CHIP_ENGINEERING_SAMPLE or CHIP_WITHDRAWN
};

/// The catalogue: CHIP_CATALOGUE_SIZE records, record i at position i.
constexpr size_t CHIP_CATALOGUE_SIZE = 46;
/// The first of the CHIP_CATALOGUE_SIZE constant records.
KEYWARD_API const ChipRecord* ChipCatalogue();

/// The identity of one chip, worked out from its identification words.
class KEYWARD_API ChipIdentity {
  public:
    /// The value of a word that was not read.
    static constexpr uint16_t NOT_READ = 0xFF;
    /// The capacity of text(), with its terminating NUL.
    static constexpr size_t TEXT_CAPACITY = 256;

    /// Both words not read, unknown chip, nothing given or forced.
    ChipIdentity();

    /// From the version word alone: the sub id is cleared and the id is bits 8 to 12.
    void identify_from_version(uint16_t version_word);
    /// From the second word alone: the id is its low byte.
    void identify_from_second(uint16_t second_word);
    /// The version word first, then the second word, whose match (when its low byte is not 0)
    /// replaces the first.
    void identify_from_words(uint16_t version_word, uint16_t second_word);
    /// From the version word (id bits 8 to 12) and a sub id (its low byte must match).
    void identify_from_version_and_sub_id(uint16_t version_word, uint16_t sub_id);
    /// Accepts the identity without a catalogue match.
    void set_forced(bool forced) { mForced = forced; }

    /// Forced; or, with `any_readable_chip`, the version word was read; otherwise a catalogue
    /// match that the words fully support (a version id or a read second word, and the sub id
    /// where the record asks for one).
    bool is_identified(bool any_readable_chip = false) const;

    /// The matched record; record 0 when unknown.
    const ChipRecord& record() const;
    /// The memory-access class of the matched record (CHIP_MEMORY_SEARCH when unknown).
    uint32_t memory_access_class() const;
    /// Whether bits 8 to 12 of the version word are not all zero.
    bool has_version_id() const { return (mVersionWord & 0x1F00) != 0; }

    /// The version word; NOT_READ when not read.
    uint16_t version_word() const { return mVersionWord; }
    /// The second word; NOT_READ when not read.
    uint16_t second_word() const { return mSecondWord; }
    /// The sub id given with the version word.
    uint16_t sub_id() const { return mSubId; }
    /// Whether a sub id was given.
    bool sub_id_given() const { return mSubIdGiven; }
    /// Whether the identity is forced (set_forced).
    bool forced() const { return mForced; }
    /// The index of the matched record; 0 when unknown.
    uint32_t chip_index() const { return mChipIndex; }
    /// A line describing the identity ("MVT4120 (tern), version word 0x0040, second word 0x0022"),
    /// rewritten by every identification.
    const char* text() const { return mText; }

  private:
    KEYWARD_LOCAL void lookup(uint32_t id, uint32_t sub, uint16_t raw_word);
    KEYWARD_LOCAL void describe();

    uint16_t mVersionWord;
    uint16_t mSecondWord;
    uint16_t mSubId;
    bool mSubIdGiven;
    bool mForced;
    uint32_t mChipIndex;
    char mText[TEXT_CAPACITY];
};
