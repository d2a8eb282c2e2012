// The simulated chip's KVCMD commands: one request in, one response out.
#include "state.h"

#include <kvcmdsim/simchip.h>

#include <algorithm>

namespace kvcmdsim {

namespace {

constexpr uint16_t kWritableStores = STORE_TRANSIENT | STORE_IMPLEMENTATION | STORE_FACTORY;
constexpr uint16_t kUserStores = STORE_TRANSIENT | STORE_IMPLEMENTATION;

uint16_t Selection(uint16_t storesWord) {
    const uint16_t selected = storesWord & ALL_STORES;
    return selected != 0 ? selected : ALL_STORES;
}

// The store a write goes to; 0 when the selection holds no writable store.
uint16_t WriteTarget(uint16_t storesWord) {
    const uint16_t selected = storesWord & ALL_STORES;
    if (selected == 0) {
        return STORE_IMPLEMENTATION;
    }
    for (uint16_t store : SEARCH_ORDER) {
        if ((selected & store) != 0 && (store & kWritableStores) != 0) {
            return store;
        }
    }
    return 0;
}

uint16_t FieldMask(uint16_t width) {
    return static_cast<uint16_t>((1u << std::min<uint16_t>(width, 16)) - 1u);
}

// Commands whose payload word 0 is a key number.
bool HasKey(uint16_t varid) {
    switch (varid) {
        case KVCMD_PS_PDU::VARID:
        case KVCMD_PSSIZE_PDU::VARID:
        case KVCMD_PSNEXT_PDU::VARID:
        case KVCMD_PSNEXT_ALL_PDU::VARID:
        case KVCMD_PSCLR_PDU::VARID:
        case KVCMD_PSCLRS_PDU::VARID:
            return true;
        default:
            return false;
    }
}

// A response to `request`: type 1, its varid, sequence number and payload words, `status`, and
// room for `dataWords` value words.
KVCMD_PDU Reply(const KVCMD_PDU& request, uint16_t status, int dataWords = 0) {
    KVCMD_PDU reply(request.get_varid(), KVCMD_PDU::TYPE_GET_RESP,
                    KVCMD_PDU::OFFSET_DATA + 2 * dataWords);
    reply.set_seq_no(request.get_seq_no());
    reply.set_status(status);
    for (int offset :
         {KVCMD_PDU::OFFSET_PAYLOAD0, KVCMD_PDU::OFFSET_PAYLOAD1, KVCMD_PDU::OFFSET_PAYLOAD2}) {
        reply.set_uint16(offset, request.get_uint16(offset));
    }
    return reply;
}

}  // namespace

const Value* FindValue(const ChipContent& chip, uint16_t key, uint16_t storesWord) {
    const uint16_t selected = Selection(storesWord);
    for (uint16_t store : SEARCH_ORDER) {
        if ((selected & store) == 0) {
            continue;
        }
        const auto s = chip.stores.find(store);
        if (s == chip.stores.end()) {
            continue;
        }
        const auto k = s->second.find(key);
        if (k != s->second.end()) {
            return &k->second;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------- commands

PDU SimChip::Process(const PDU& received) {
    State& state = *mState;
    ChipContent& chip = state.content;
    const KVCMD_PDU request(received);
    const int size = request.size();
    const uint16_t varid = request.get_varid();
    const uint16_t type = request.get_type();
    const uint16_t key = request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD0);

    state.log.Add(request.data(), static_cast<size_t>(size));
    ++state.perVarid[varid];
    if (HasKey(varid)) {
        ++state.perKey[{varid, key}];
    }

    if (size < KVCMD_PDU::MIN_BYTES || size % 2 != 0 || request.get_length() != size / 2 ||
        (type != KVCMD_PDU::TYPE_GET_REQ && type != KVCMD_PDU::TYPE_SET_REQ)) {
        return Reply(request, KVCMD_PDU::STATUS_BAD_PDU);
    }
    if (size / 2 > chip.maxPduWords) {
        return Reply(request, KVCMD_PDU::STATUS_TOO_BIG);
    }
    for (auto rule = state.failRules.begin(); rule != state.failRules.end(); ++rule) {
        if ((rule->varid == 0 || rule->varid == varid) && (rule->key < 0 || rule->key == key)) {
            const uint16_t status = rule->status;
            if (rule->remaining > 0 && --rule->remaining == 0) {
                state.failRules.erase(rule);
            }
            return Reply(request, status);
        }
    }

    const bool isGet = type == KVCMD_PDU::TYPE_GET_REQ;
    const bool writeProtected = chip.writeProtected;
    switch (varid) {
        case KVCMD_PS_PDU::VARID: {
            const KVCMD_PS_PDU ps(received);
            const uint16_t storesWord = ps.get_stores();
            const bool raw = (storesWord & RAW_ACCESS) != 0;
            const PresentationField* field = raw ? nullptr : chip.presentation.Find(key);
            if (isGet) {
                Value value;
                // A failed read answers no value: length field 0.
                const auto failed = [&request](uint16_t status) {
                    KVCMD_PDU reply = Reply(request, status);
                    reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 0);
                    return reply;
                };
                if (field != nullptr) {
                    const Value* base = FindValue(chip, field->base_key, storesWord);
                    const uint16_t word = field->bit_offset / 16;
                    if (base == nullptr || word >= base->size()) {
                        return failed(KVCMD_PDU::STATUS_ERROR);
                    }
                    value.push_back(((*base)[word] >> (field->bit_offset % 16)) &
                                    FieldMask(field->bit_width));
                } else if (!chip.firmwareKeys.Contains(key)) {
                    return failed(KVCMD_PDU::STATUS_ACCESS_DENIED);
                } else {
                    const Value* found = FindValue(chip, key, storesWord);
                    if (found == nullptr) {
                        return failed(KVCMD_PDU::STATUS_ERROR);
                    }
                    value = *found;
                }
                const int count = std::min<int>(static_cast<int>(value.size()), ps.get_len());
                KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK, count);
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, static_cast<uint16_t>(value.size()));
                reply.set_data(value.data(), count);
                return reply;
            }
            const uint16_t length = ps.get_len();
            if (ps.data_words() < length) {
                return Reply(request, KVCMD_PDU::STATUS_BAD_PDU);
            }
            if (writeProtected) {
                return Reply(request, KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            Value data(length);
            ps.get_data(data.data(), length);
            const uint16_t target = WriteTarget(storesWord);
            if (field != nullptr) {
                const Value* base = FindValue(chip, field->base_key, storesWord);
                const uint16_t word = field->bit_offset / 16;
                if (base == nullptr || word >= base->size() || length == 0) {
                    return Reply(request, KVCMD_PDU::STATUS_ERROR);
                }
                if (target == 0) {
                    return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
                }
                Value updated = *base;
                const uint16_t bit = field->bit_offset % 16;
                const uint16_t mask = FieldMask(field->bit_width);
                updated[word] = static_cast<uint16_t>((updated[word] & ~(mask << bit)) |
                                                      ((data[0] & mask) << bit));
                chip.stores[target][field->base_key] = updated;
            } else if (!chip.firmwareKeys.Contains(key)) {
                return Reply(request, KVCMD_PDU::STATUS_ACCESS_DENIED);
            } else if (target == 0) {
                return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
            } else {
                chip.stores[target][key] = std::move(data);
            }
            state.dirty = state.dirty || target != STORE_TRANSIENT;
            return Reply(request, KVCMD_PDU::STATUS_OK);
        }

        case KVCMD_PSSIZE_PDU::VARID: {
            if (!isGet) {
                return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
            }
            const uint16_t storesWord = request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD2);
            const bool raw = (storesWord & RAW_ACCESS) != 0;
            const PresentationField* field = raw ? nullptr : chip.presentation.Find(key);
            KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK);
            reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 0);
            if (field != nullptr) {
                const Value* base = FindValue(chip, field->base_key, storesWord);
                if (base == nullptr || field->bit_offset / 16 >= base->size()) {
                    reply.set_status(KVCMD_PDU::STATUS_ERROR);
                } else {
                    reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 1);
                }
            } else if (!chip.firmwareKeys.Contains(key)) {
                reply.set_status(KVCMD_PDU::STATUS_ERROR);
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD0, 0);
            } else if (const Value* found = FindValue(chip, key, storesWord); found != nullptr) {
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, static_cast<uint16_t>(found->size()));
            } else {
                reply.set_status(KVCMD_PDU::STATUS_ERROR);
            }
            return reply;
        }

        case KVCMD_PSNEXT_PDU::VARID:
        case KVCMD_PSNEXT_ALL_PDU::VARID: {
            if (!isGet) {
                return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
            }
            const bool all = varid == KVCMD_PSNEXT_ALL_PDU::VARID;
            const uint16_t selected =
                all ? ALL_STORES : Selection(request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD1));
            uint32_t next = 0x10000;
            for (const auto& [store, keys] : chip.stores) {
                if ((store & selected) == 0) {
                    continue;
                }
                const auto it = keys.upper_bound(key);
                if (it != keys.end()) {
                    next = std::min<uint32_t>(next, it->first);
                }
            }
            KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK);
            reply.set_uint16(all ? KVCMD_PDU::OFFSET_PAYLOAD1 : KVCMD_PDU::OFFSET_PAYLOAD2,
                             next < 0x10000 ? static_cast<uint16_t>(next) : 0);
            return reply;
        }

        case KVCMD_PSCLR_PDU::VARID:
        case KVCMD_PSCLRS_PDU::VARID: {
            if (isGet) {
                return Reply(request, KVCMD_PDU::STATUS_WRITE_ONLY);
            }
            if (writeProtected) {
                return Reply(request, KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            uint16_t targets = kUserStores;
            if (varid == KVCMD_PSCLRS_PDU::VARID) {
                const uint16_t selected =
                    request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD1) & ALL_STORES;
                if (selected != 0) {
                    targets = selected & kWritableStores;
                    if (targets == 0) {
                        return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
                    }
                }
            }
            if (!chip.firmwareKeys.Contains(key)) {
                return Reply(request, KVCMD_PDU::STATUS_ACCESS_DENIED);
            }
            bool erased = false;
            for (auto& [store, keys] : chip.stores) {
                if ((store & targets) != 0 && keys.erase(key) != 0) {
                    erased = true;
                    state.dirty = state.dirty || store != STORE_TRANSIENT;
                }
            }
            return Reply(request, erased ? KVCMD_PDU::STATUS_OK : KVCMD_PDU::STATUS_ERROR);
        }

        case KVCMD_PS_FACTORY_SET_PDU::VARID:
        case KVCMD_PS_FACTORY_RESTORE_PDU::VARID:
        case KVCMD_PS_FACTORY_RESTORE_ALL_PDU::VARID: {
            if (isGet) {
                return Reply(request, KVCMD_PDU::STATUS_WRITE_ONLY);
            }
            if (writeProtected) {
                return Reply(request, KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            auto& implementation = chip.stores[STORE_IMPLEMENTATION];
            auto& factory = chip.stores[STORE_FACTORY];
            auto& transient = chip.stores[STORE_TRANSIENT];
            if (varid == KVCMD_PS_FACTORY_SET_PDU::VARID) {
                for (const auto& [k, value] : implementation) {
                    factory[k] = value;
                }
            } else if (varid == KVCMD_PS_FACTORY_RESTORE_PDU::VARID) {
                for (const auto& entry : factory) {
                    implementation.erase(entry.first);
                    transient.erase(entry.first);
                }
            } else {
                implementation.clear();
                transient.clear();
            }
            state.dirty = true;
            return Reply(request, KVCMD_PDU::STATUS_OK);
        }

        case KVCMD_MEMORY_PDU::VARID: {
            const KVCMD_MEMORY_PDU memory(received);
            const uint16_t address = memory.get_address();
            const uint16_t length = memory.get_len();
            if (chip.secure) {
                return Reply(request, KVCMD_PDU::STATUS_ACCESS_DENIED);
            }
            if (!state.MemoryRange(DATA_SPACE, address, length)) {
                return Reply(request, KVCMD_PDU::STATUS_ERROR);
            }
            if (isGet) {
                Value words(length);
                state.ReadWords(DATA_SPACE, address, length, words.data());
                KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK, length);
                reply.set_data(words.data(), length);
                return reply;
            }
            if (memory.data_words() < length) {
                return Reply(request, KVCMD_PDU::STATUS_BAD_PDU);
            }
            WordMap& target = chip.written[DATA_SPACE];
            for (uint16_t i = 0; i < length; ++i) {
                target[address + i] = memory.get_uint16(KVCMD_PDU::OFFSET_DATA + 2 * i);
            }
            state.dirty = true;
            return Reply(request, KVCMD_PDU::STATUS_OK);
        }

        default:
            return Reply(request, KVCMD_PDU::STATUS_NO_SUCH_VARID);
    }
}

}  // namespace kvcmdsim
