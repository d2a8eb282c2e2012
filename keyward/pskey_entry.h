/// @file
/// @brief The records of the PS key database: one pskey_entry per known PS key, and the enumeration
/// lists that keys with an enumeration constraint name by index. All of it is constant data
/// compiled into the library.
#pragma once

#include <cstdint>

/// The shape of a key's value, a number from 0 to 52 (see CKeyWarder::StructureLen for the
/// length in words of each).
typedef int32_t pskey_structure;

/// One enumerator of an enumeration list; a null text ends the list.
struct string_val_pair {
    /// The enumerator's name; null ends the list.
    const wchar_t* text;
    /// The enumerator's value.
    int32_t value;
};

/// The kinds of a record (pskey_entry::kind).
enum : int32_t {
    PSKEY_KIND_ORDINARY = 0,      ///< a key of its own
    PSKEY_KIND_PRESENTATION = 2,  ///< a bit field of another (base) key
};

/// The constraints of a record's value (pskey_entry::constraint).
enum : int32_t {
    PSKEY_CONSTRAINT_NONE = 0,         ///< any value
    PSKEY_CONSTRAINT_RANGE = 1,        ///< minimum and maximum both given
    PSKEY_CONSTRAINT_MINIMUM = 2,      ///< minimum only
    PSKEY_CONSTRAINT_MAXIMUM = 3,      ///< maximum only
    PSKEY_CONSTRAINT_ENUMERATION = 4,  ///< `minimum` is the index of the enumeration list
};

/// The database record of one PS key (CKeyWarder::GetKeyDetails).
struct pskey_entry {
    uint16_t key_number;        ///< unique across the database
    int32_t kind;               ///< PSKEY_KIND_*
    const wchar_t* identifier;  ///< "PSKEY_...", as stored (some carry trailing blanks)
    const wchar_t* label;       ///< short human-readable label, never empty
    pskey_structure structure;  ///< shape of the value
    int32_t aux_flag;           ///< 0 or 1
    uint16_t base_key;          ///< presentation keys: the key holding the field; else 0
    uint16_t bit_offset;        ///< presentation keys: lowest bit, counted from bit 0 of word 0
    uint16_t bit_width;         ///< presentation keys: width in bits, 0 to 16
    int32_t constraint;         ///< PSKEY_CONSTRAINT_*
    int32_t minimum;            ///< lower bound, or the enumeration list index
    uint32_t maximum;           ///< upper bound
    int32_t assumed_present;    ///< 1: taken to exist on a chip whose key list is unknown
    const wchar_t* const* description;  ///< fragments of the long help text, ended by nullptr
};
