// The tables behind psdb.h, defined in the source that the generator writes from keys.txt and
// enums.txt. The generated source checks their sizes against kEntryCount and kEnumListCount.
#pragma once

#include <keyward/psdb/psdb.h>

namespace keyward::psdb::detail {

extern const pskey_entry kEntries[];
extern const string_val_pair* const kEnumLists[];

}  // namespace keyward::psdb::detail
