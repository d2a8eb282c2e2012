// The compiled-in PS key database, as the library uses it internally. Host programs reach it
// through CKeyWarder (GetKeyDetails, HasPresentationKeys, StructureLen, get_enum_list).
#pragma once

#include <keyward/pskey_entry.h>

#include <cstddef>

namespace keyward::psdb {

constexpr size_t kEntryCount = 1727;
constexpr int kEnumListCount = 55;

// The kEntryCount records, in database order (not sorted by key number).
const pskey_entry* Entries();

// The first enumerator of list `index` (0 to kEnumListCount - 1); nullptr outside that range.
const string_val_pair* EnumList(int index);

// Length in 16-bit words of a value of the given structure; -1 for variable length.
int StructureLen(int structure);

}  // namespace keyward::psdb
