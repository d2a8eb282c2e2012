// The standard firmware of a blank simulated chip, taken from keyward's key database: the
// firmware knows every ordinary key and resolves every presentation key that names a field, and
// its key list names both, as a real firmware's list names the presentation keys it presents.
#include "state.h"

namespace kvcmdsim {

const std::set<uint16_t>& OrdinaryFirmwareKeys() {
    static const std::set<uint16_t> keys = [] {
        std::set<uint16_t> known;
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
            if (entry->kind == PSKEY_KIND_ORDINARY) {
                known.insert(entry->key_number);
            }
        }
        return known;
    }();
    return keys;
}

const std::set<uint16_t>& StandardFirmwareKeys() {
    static const std::set<uint16_t> keys = [] {
        std::set<uint16_t> known = OrdinaryFirmwareKeys();
        for (const auto& field : StandardPresentationKeys()) {
            known.insert(field.first);
        }
        return known;
    }();
    return keys;
}

const std::map<uint16_t, PresentationField>& StandardPresentationKeys() {
    static const std::map<uint16_t, PresentationField> fields = [] {
        std::map<uint16_t, PresentationField> resolved;
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
            if (entry->kind == PSKEY_KIND_PRESENTATION && entry->bit_width != 0) {
                resolved[entry->key_number] = {entry->base_key, entry->bit_offset,
                                               entry->bit_width};
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
