// CKeyWarder: lookups in the compiled-in PS key database.
#include <keyward/keywarder.h>
#include <keyward/psdb/psdb.h>

#include <algorithm>
#include <vector>

namespace psdb = keyward::psdb;

namespace {

// For every key number up to the largest in the database, 1 + the database position of the
// first record with that number (a scan in database order finds that one), or 0 when no record
// has it. Every typed access looks its key up, so a lookup is one indexed read; the index ends at
// the largest key (about 20 KiB) so that it stays in the processor's nearest cache.
class KeyIndex {
  public:
    KeyIndex() : mEntries(psdb::Entries()) {
        static_assert(psdb::kEntryCount < 0xFFFF);
        uint16_t largest = 0;
        for (size_t i = 0; i < psdb::kEntryCount; ++i) {
            largest = std::max(largest, mEntries[i].key_number);
        }
        mSlots.assign(static_cast<size_t>(largest) + 1, 0);
        for (size_t i = psdb::kEntryCount; i-- > 0;) {
            mSlots[mEntries[i].key_number] = static_cast<uint16_t>(i + 1);
        }
    }
    const pskey_entry* Find(uint16_t key) const {
        const uint16_t slot = key < mSlots.size() ? mSlots[key] : 0;
        return slot != 0 ? &mEntries[slot - 1] : nullptr;
    }

  private:
    const pskey_entry* mEntries;
    std::vector<uint16_t> mSlots;
};

}  // namespace

const pskey_entry* CKeyWarder::findKey(uint16_t key) {
    static const KeyIndex index;
    return index.Find(key);
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
