// CKeyWarder: lookups in the compiled-in PS key database.
#include <keyward/keywarder.h>
#include <keyward/psdb/psdb.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace psdb = keyward::psdb;

namespace {

// (key number, database position) of every record, sorted by key number; for a number held by
// more than one record the earliest position comes first, so a lookup finds the record a scan in
// database order would find first. Built once; every typed access looks its key up.
const std::vector<std::pair<uint16_t, uint16_t>>& KeyIndex() {
    static const std::vector<std::pair<uint16_t, uint16_t>> index = [] {
        std::vector<std::pair<uint16_t, uint16_t>> sorted;
        sorted.reserve(psdb::kEntryCount);
        const pskey_entry* entries = psdb::Entries();
        for (size_t i = 0; i < psdb::kEntryCount; ++i) {
            sorted.emplace_back(entries[i].key_number, static_cast<uint16_t>(i));
        }
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }();
    return index;
}

}  // namespace

const pskey_entry* CKeyWarder::findKey(uint16_t key) {
    const auto& index = KeyIndex();
    const auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(key, uint16_t{0}));
    return it != index.end() && it->first == key ? &psdb::Entries()[it->second] : nullptr;
}

const pskey_entry* CKeyWarder::GetKeyDetails(uint16_t key) {
    return findKey(key);
}

int CKeyWarder::HasPresentationKeys(uint16_t key, const pskey_entry** entries, int capacity) {
    const pskey_entry* all = psdb::Entries();
    int count = 0;
    for (size_t i = 0; i < psdb::kEntryCount; ++i) {
        if (all[i].kind == PSKEY_KIND_PRESENTATION && all[i].base_key == key) {
            if (entries != nullptr && count < capacity) {
                entries[count] = &all[i];
            }
            ++count;
        }
    }
    return count;
}

bool CKeyWarder::key_known(uint16_t key) {
    const pskey_entry* entry = findKey(key);
    const uint16_t base = entry != nullptr ? entry->base_key : 0;
    if (server != nullptr && server->keys_known()) {
        if (server->key_exists(key)) {
            return true;
        }
        return base != 0 && server->key_exists(base);
    }
    if (entry != nullptr && entry->assumed_present == 1) {
        return true;
    }
    const pskey_entry* baseEntry = base != 0 ? findKey(base) : nullptr;
    return baseEntry != nullptr && baseEntry->assumed_present == 1;
}

int CKeyWarder::StructureLen(pskey_structure structure) {
    return psdb::StructureLen(structure);
}

const string_val_pair* CKeyWarder::get_enum_list(int index) {
    return psdb::EnumList(index);
}

bool CKeyWarder::CheckValid() {
    const pskey_entry* entries = psdb::Entries();
    for (size_t i = 0; i < psdb::kEntryCount; ++i) {
        for (size_t j = i + 1; j < psdb::kEntryCount; ++j) {
            if (entries[i].key_number == entries[j].key_number) {
                RaiseError(L"Error", L"Key %ls has same index as key %ls", entries[i].identifier,
                           entries[j].identifier);
                return false;
            }
        }
    }
    return true;
}

size_t CKeyWarder::GetKeyCount() {
    return psdb::kEntryCount;
}

const pskey_entry* CKeyWarder::GetKeyDetailsAt(size_t index) {
    return index < psdb::kEntryCount ? &psdb::Entries()[index] : nullptr;
}
