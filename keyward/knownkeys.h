/// @file
/// @brief KnownKeySet: the key numbers a chip holds, one bit for each of the 65,536 numbers. A
/// firmware's key list names ranges, and a list read from an untrusted chip may name every key
/// there is: a range fills whole words at a time, and the set is one block of 8 KiB whatever it
/// holds, so building, copying and walking it never costs an allocation per key.
#pragma once

#include <keyward/export.h>

#include <array>
#include <cstdint>
#include <initializer_list>

/// A set of PS key numbers (see the file description). Copyable; not guarded: one thread at a time.
class KEYWARD_API KnownKeySet {
  public:
    /// What lower_bound gives when no member is at or above the key asked for.
    static constexpr uint32_t kNone = 0x10000;

    KnownKeySet() = default;
    /// A set holding `keys`.
    KnownKeySet(std::initializer_list<uint16_t> keys);

    /// Adds `key`; true when it was not there yet.
    bool insert(uint16_t key);
    /// Adds every key from `first` to `last` (none when first > last).
    void insert(uint16_t first, uint16_t last);
    /// True when `key` is a member.
    bool contains(uint16_t key) const { return (mWords[key / kBits] >> (key % kBits) & 1) != 0; }
    /// The smallest member at or above `key`, or kNone.
    uint32_t lower_bound(uint32_t key) const;

    /// True when both hold the same keys.
    bool operator==(const KnownKeySet&) const = default;

  private:
    static constexpr uint32_t kBits = 64;
    std::array<uint64_t, kNone / kBits> mWords{};
};
