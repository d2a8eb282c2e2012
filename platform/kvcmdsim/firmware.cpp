// The keys a firmware knows, and the standard firmware of a blank simulated chip, taken from
// keyward's key database: the firmware knows every ordinary key and resolves every presentation
// key that names a field, and its key list names both, as a real firmware's list names the
// presentation keys it presents.
#include "state.h"

#include <algorithm>

namespace kvcmdsim {

// ---------------------------------------------------------------- key sets

bool KeySet::Contains(uint16_t key) const {
    const auto range = std::lower_bound(mRanges.begin(), mRanges.end(), key,
                                        [](const KeyRange& r, uint16_t k) { return r.last < k; });
    return range != mRanges.end() && range->first <= key;
}

bool KeySet::Insert(uint16_t key) {
    if (Contains(key)) {
        return false;
    }
    Insert(KeyRange{key, key});
    return true;
}

// The ranges that overlap or touch the new one merge with it into one.
void KeySet::Insert(KeyRange range) {
    if (range.first > range.last) {
        return;
    }
    uint32_t first = range.first;
    uint32_t last = range.last;
    auto begin =
        std::lower_bound(mRanges.begin(), mRanges.end(), first,
                         [](const KeyRange& r, uint32_t f) { return uint32_t{r.last} + 1 < f; });
    auto end = begin;
    for (; end != mRanges.end() && end->first <= last + 1; ++end) {
        first = std::min<uint32_t>(first, end->first);
        last = std::max<uint32_t>(last, end->last);
    }
    begin = mRanges.erase(begin, end);
    mRanges.insert(begin, KeyRange{static_cast<uint16_t>(first), static_cast<uint16_t>(last)});
}

void KeySet::Erase(KeyRange range) {
    if (range.first > range.last) {
        return;
    }
    std::vector<KeyRange> kept;
    kept.reserve(mRanges.size() + 1);
    for (const KeyRange& r : mRanges) {
        if (r.last < range.first || r.first > range.last) {
            kept.push_back(r);
            continue;
        }
        if (r.first < range.first) {
            kept.push_back({r.first, static_cast<uint16_t>(range.first - 1)});
        }
        if (r.last > range.last) {
            kept.push_back({static_cast<uint16_t>(range.last + 1), r.last});
        }
    }
    mRanges = std::move(kept);
}

void KeySet::Insert(const KeySet& keys) {
    if (mRanges.empty()) {
        mRanges = keys.mRanges;
        return;
    }
    for (const KeyRange& range : keys.mRanges) {
        Insert(range);
    }
}

void KeySet::Insert(std::vector<KeyRange> ranges) {
    ranges.insert(ranges.end(), mRanges.begin(), mRanges.end());
    std::sort(ranges.begin(), ranges.end(),
              [](const KeyRange& a, const KeyRange& b) { return a.first < b.first; });
    std::vector<KeyRange> merged;
    merged.reserve(ranges.size());
    for (const KeyRange& range : ranges) {
        if (range.first > range.last) {
            continue;
        }
        if (!merged.empty() && uint32_t{merged.back().last} + 1 >= range.first) {
            merged.back().last = std::max(merged.back().last, range.last);
        } else {
            merged.push_back(range);
        }
    }
    mRanges = std::move(merged);
}

// ---------------------------------------------------------------- presentation fields

namespace {

bool KeyBefore(const FieldMap::Entry& entry, uint16_t key) {
    return entry.first < key;
}

}  // namespace

const PresentationField* FieldMap::Find(uint16_t key) const {
    const auto entry = std::lower_bound(mEntries.begin(), mEntries.end(), key, KeyBefore);
    return entry != mEntries.end() && entry->first == key ? &entry->second : nullptr;
}

void FieldMap::Set(uint16_t key, const PresentationField& field) {
    const auto entry = std::lower_bound(mEntries.begin(), mEntries.end(), key, KeyBefore);
    if (entry != mEntries.end() && entry->first == key) {
        entry->second = field;
    } else {
        mEntries.insert(entry, Entry{key, field});
    }
}

void FieldMap::Assign(std::vector<Entry> entries) {
    mEntries = SortedLaterWins(std::move(entries));
}

// ---------------------------------------------------------------- the standard firmware

const KeySet& OrdinaryFirmwareKeys() {
    static const KeySet keys = [] {
        KeySet known;
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
            if (entry->kind == PSKEY_KIND_ORDINARY) {
                known.Insert(entry->key_number);
            }
        }
        return known;
    }();
    return keys;
}

const KeySet& StandardFirmwareKeys() {
    static const KeySet keys = [] {
        KeySet known = OrdinaryFirmwareKeys();
        for (const auto& field : StandardPresentationKeys()) {
            known.Insert(field.first);
        }
        return known;
    }();
    return keys;
}

const FieldMap& StandardPresentationKeys() {
    static const FieldMap fields = [] {
        FieldMap resolved;
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
            if (entry->kind == PSKEY_KIND_PRESENTATION && entry->bit_width != 0) {
                resolved.Set(entry->key_number,
                             {entry->base_key, entry->bit_offset, entry->bit_width});
            }
        }
        return resolved;
    }();
    return fields;
}

ChipContent ChipContent::Blank() {
    ChipContent chip;
    chip.firmwareKeys = StandardFirmwareKeys();
    chip.presentation = StandardPresentationKeys();
    return chip;
}

}  // namespace kvcmdsim
