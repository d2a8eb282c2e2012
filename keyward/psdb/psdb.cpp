#include <keyward/psdb/psdb.h>
#include <keyward/psdb/structures.h>
#include <keyward/psdb/tables.h>

namespace keyward::psdb {

const pskey_entry* Entries() {
    return detail::kEntries;
}

const string_val_pair* EnumList(int index) {
    if (index < 0 || index >= kEnumListCount) {
        return nullptr;
    }
    return detail::kEnumLists[index];
}

int StructureLen(int structure) {
    return StructureLength(structure);
}

}  // namespace keyward::psdb
