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

// True when a response with `dataWords` value words would exceed the chip's largest PDU.
bool TooBig(const ChipContent& chip, int dataWords) {
    return KVCMD_PDU::OFFSET_DATA / 2 + dataWords > chip.maxPduWords;
}

// Writes `value` at `bytes`, low byte first, as every PDU word is.
void PutWord(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

// A request's header words (type, length, sequence number, varid, status, payload words 0 to 2),
// read once; a word beyond the end of a short request reads 0, as it does through the PDU.
struct Header {
    static constexpr int WORDS = KVCMD_PDU::OFFSET_DATA / 2;
    uint16_t words[WORDS] = {};

    Header(const uint8_t* bytes, int size) {
        const int count = std::min(size, KVCMD_PDU::OFFSET_DATA) / 2;
        for (int i = 0; i < count; ++i) {
            words[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
    }
    uint16_t operator[](int offset) const { return words[offset / 2]; }
};

// Builds the one response to a request: type 1, the request's varid, sequence number and
// payload words, a status, and room for value words; in the body of the chip's spare response
// when no one holds that any more.
class Replier {
  public:
    Replier(const Header& header, PDU&& spare) : mHeader(header), mSpare(std::move(spare)) {}

    KVCMD_PDU operator()(uint16_t status, int dataWords = 0) {
        // Every header word is written below, so the body is built as a plain PDU.
        PDU reply(KVCMD_PDU::CHANNEL,
                  std::max(KVCMD_PDU::OFFSET_DATA + 2 * dataWords, KVCMD_PDU::MIN_BYTES),
                  std::move(mSpare));
        uint16_t words[Header::WORDS];
        std::copy(std::begin(mHeader.words), std::end(mHeader.words), words);
        words[KVCMD_PDU::OFFSET_TYPE / 2] = KVCMD_PDU::TYPE_GET_RESP;
        words[KVCMD_PDU::OFFSET_LENGTH / 2] = static_cast<uint16_t>(reply.size() / 2);
        words[KVCMD_PDU::OFFSET_STATUS / 2] = status;
        for (int i = 0; i < Header::WORDS; ++i) {
            PutWord(reply.data() + 2 * i, words[i]);
        }
        return KVCMD_PDU(std::move(reply));
    }

  private:
    const Header& mHeader;
    PDU mSpare;
};

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

PDU SimChip::Process(const PDU& received, uint16_t sequence) {
    State& state = *mState;
    ChipContent& chip = state.content;
    const KVCMD_PDU request(received);
    const int size = request.size();
    // The request as the chip received it, with the link's sequence number stamped on a request
    // that has the field: the log keeps it, and the header is read from it.
    uint8_t* logged = state.log.Add(request.data(), static_cast<size_t>(size));
    if (size >= KVCMD_PDU::OFFSET_SEQ_NO + 2) {
        PutWord(logged + KVCMD_PDU::OFFSET_SEQ_NO, sequence);
    }
    const Header header(logged, size);
    const uint16_t varid = header[KVCMD_PDU::OFFSET_VARID];
    const uint16_t type = header[KVCMD_PDU::OFFSET_TYPE];
    const uint16_t key = header[KVCMD_PDU::OFFSET_PAYLOAD0];
    Replier reply(header, std::move(state.spareReply));

    state.perVarid.Add(varid);
    if (HasKey(varid)) {
        state.perKey.Add(static_cast<uint32_t>(varid) << 16 | key);
    }

    if (size < KVCMD_PDU::MIN_BYTES || size % 2 != 0 ||
        header[KVCMD_PDU::OFFSET_LENGTH] != size / 2 ||
        (type != KVCMD_PDU::TYPE_GET_REQ && type != KVCMD_PDU::TYPE_SET_REQ)) {
        return reply(KVCMD_PDU::STATUS_BAD_PDU);
    }
    if (size / 2 > chip.maxPduWords) {
        return reply(KVCMD_PDU::STATUS_TOO_BIG);
    }
    for (auto rule = state.failRules.begin(); rule != state.failRules.end(); ++rule) {
        if ((rule->varid == 0 || rule->varid == varid) && (rule->key < 0 || rule->key == key)) {
            const uint16_t status = rule->status;
            if (rule->remaining > 0 && --rule->remaining == 0) {
                state.failRules.erase(rule);
            }
            return reply(status);
        }
    }

    const bool isGet = type == KVCMD_PDU::TYPE_GET_REQ;
    const bool writeProtected = chip.writeProtected;
    switch (varid) {
        case KVCMD_PS_PDU::VARID: {
            const uint16_t storesWord = header[KVCMD_PDU::OFFSET_PAYLOAD2];
            const uint16_t length = header[KVCMD_PDU::OFFSET_PAYLOAD1];
            const bool raw = (storesWord & RAW_ACCESS) != 0;
            const PresentationField* field = raw ? nullptr : chip.presentation.Find(key);
            if (isGet) {
                // A failed read answers no value: length field 0.
                const auto failed = [&reply](uint16_t status) {
                    KVCMD_PDU response = reply(status);
                    response.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 0);
                    return response;
                };
                uint16_t fieldValue = 0;
                const uint16_t* words = &fieldValue;
                size_t wordCount = 1;
                if (field != nullptr) {
                    const Value* base = FindValue(chip, field->base_key, storesWord);
                    const uint16_t word = field->bit_offset / 16;
                    if (base == nullptr || word >= base->size()) {
                        return failed(KVCMD_PDU::STATUS_ERROR);
                    }
                    fieldValue = static_cast<uint16_t>(((*base)[word] >> (field->bit_offset % 16)) &
                                                       FieldMask(field->bit_width));
                } else if (!chip.firmwareKeys.Contains(key)) {
                    return failed(KVCMD_PDU::STATUS_ACCESS_DENIED);
                } else {
                    const Value* found = FindValue(chip, key, storesWord);
                    if (found == nullptr) {
                        return failed(KVCMD_PDU::STATUS_ERROR);
                    }
                    words = found->data();
                    wordCount = found->size();
                }
                const int count = std::min<int>(static_cast<int>(wordCount), length);
                if (TooBig(chip, count)) {
                    return failed(KVCMD_PDU::STATUS_TOO_BIG);
                }
                KVCMD_PDU response = reply(KVCMD_PDU::STATUS_OK, count);
                response.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, static_cast<uint16_t>(wordCount));
                response.set_data(words, count);
                return response;
            }
            if (request.data_words() < length) {
                return reply(KVCMD_PDU::STATUS_BAD_PDU);
            }
            if (writeProtected) {
                return reply(KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            const uint16_t target = WriteTarget(storesWord);
            if (field != nullptr) {
                const Value* base = FindValue(chip, field->base_key, storesWord);
                const uint16_t word = field->bit_offset / 16;
                if (base == nullptr || word >= base->size() || length == 0) {
                    return reply(KVCMD_PDU::STATUS_ERROR);
                }
                if (target == 0) {
                    return reply(KVCMD_PDU::STATUS_READ_ONLY);
                }
                Value updated = *base;
                const uint16_t bit = field->bit_offset % 16;
                const uint16_t mask = FieldMask(field->bit_width);
                const uint16_t first = request.get_uint16(KVCMD_PDU::OFFSET_DATA);
                updated[word] = static_cast<uint16_t>((updated[word] & ~(mask << bit)) |
                                                      ((first & mask) << bit));
                chip.stores[target][field->base_key] = std::move(updated);
            } else if (!chip.firmwareKeys.Contains(key)) {
                return reply(KVCMD_PDU::STATUS_ACCESS_DENIED);
            } else if (target == 0) {
                return reply(KVCMD_PDU::STATUS_READ_ONLY);
            } else {
                // Into the key's own vector: a key written again keeps its room.
                Value& value = chip.stores[target][key];
                value.resize(length);
                request.get_data(value.data(), length);
            }
            state.dirty = state.dirty || target != STORE_TRANSIENT;
            return reply(KVCMD_PDU::STATUS_OK);
        }

        case KVCMD_PSSIZE_PDU::VARID: {
            if (!isGet) {
                return reply(KVCMD_PDU::STATUS_READ_ONLY);
            }
            const uint16_t storesWord = header[KVCMD_PDU::OFFSET_PAYLOAD2];
            const bool raw = (storesWord & RAW_ACCESS) != 0;
            const PresentationField* field = raw ? nullptr : chip.presentation.Find(key);
            uint16_t status = KVCMD_PDU::STATUS_ERROR;
            uint16_t words = 0;
            bool known = true;
            if (field != nullptr) {
                const Value* base = FindValue(chip, field->base_key, storesWord);
                if (base != nullptr && field->bit_offset / 16 < base->size()) {
                    status = KVCMD_PDU::STATUS_OK;
                    words = 1;
                }
            } else if (!chip.firmwareKeys.Contains(key)) {
                known = false;
            } else if (const Value* found = FindValue(chip, key, storesWord); found != nullptr) {
                status = KVCMD_PDU::STATUS_OK;
                words = static_cast<uint16_t>(found->size());
            }
            KVCMD_PDU response = reply(status);
            response.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, words);
            if (!known) {
                response.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD0, 0);
            }
            return response;
        }

        case KVCMD_PSNEXT_PDU::VARID:
        case KVCMD_PSNEXT_ALL_PDU::VARID: {
            if (!isGet) {
                return reply(KVCMD_PDU::STATUS_READ_ONLY);
            }
            const bool all = varid == KVCMD_PSNEXT_ALL_PDU::VARID;
            const uint16_t selected =
                all ? ALL_STORES : Selection(header[KVCMD_PDU::OFFSET_PAYLOAD1]);
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
            KVCMD_PDU response = reply(KVCMD_PDU::STATUS_OK);
            response.set_uint16(all ? KVCMD_PDU::OFFSET_PAYLOAD1 : KVCMD_PDU::OFFSET_PAYLOAD2,
                                next < 0x10000 ? static_cast<uint16_t>(next) : 0);
            return response;
        }

        case KVCMD_PSCLR_PDU::VARID:
        case KVCMD_PSCLRS_PDU::VARID: {
            if (isGet) {
                return reply(KVCMD_PDU::STATUS_WRITE_ONLY);
            }
            if (writeProtected) {
                return reply(KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            uint16_t targets = kUserStores;
            if (varid == KVCMD_PSCLRS_PDU::VARID) {
                const uint16_t selected = header[KVCMD_PDU::OFFSET_PAYLOAD1] & ALL_STORES;
                if (selected != 0) {
                    targets = selected & kWritableStores;
                    if (targets == 0) {
                        return reply(KVCMD_PDU::STATUS_READ_ONLY);
                    }
                }
            }
            if (!chip.firmwareKeys.Contains(key)) {
                return reply(KVCMD_PDU::STATUS_ACCESS_DENIED);
            }
            bool erased = false;
            for (auto& [store, keys] : chip.stores) {
                if ((store & targets) != 0 && keys.erase(key) != 0) {
                    erased = true;
                    state.dirty = state.dirty || store != STORE_TRANSIENT;
                }
            }
            return reply(erased ? KVCMD_PDU::STATUS_OK : KVCMD_PDU::STATUS_ERROR);
        }

        case KVCMD_PS_FACTORY_SET_PDU::VARID:
        case KVCMD_PS_FACTORY_RESTORE_PDU::VARID:
        case KVCMD_PS_FACTORY_RESTORE_ALL_PDU::VARID: {
            if (isGet) {
                return reply(KVCMD_PDU::STATUS_WRITE_ONLY);
            }
            if (writeProtected) {
                return reply(KVCMD_PDU::STATUS_PERMISSION_DENIED);
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
            return reply(KVCMD_PDU::STATUS_OK);
        }

        case KVCMD_MEMORY_PDU::VARID: {
            const KVCMD_MEMORY_PDU memory(received);
            const uint16_t address = memory.get_address();
            const uint16_t length = memory.get_len();
            if (chip.secure) {
                return reply(KVCMD_PDU::STATUS_ACCESS_DENIED);
            }
            if (!state.MemoryRange(DATA_SPACE, address, length)) {
                return reply(KVCMD_PDU::STATUS_ERROR);
            }
            if (isGet) {
                if (TooBig(chip, length)) {
                    return reply(KVCMD_PDU::STATUS_TOO_BIG);
                }
                Value words(length);
                state.ReadWords(DATA_SPACE, address, length, words.data());
                KVCMD_PDU response = reply(KVCMD_PDU::STATUS_OK, length);
                response.set_data(words.data(), length);
                return response;
            }
            if (memory.data_words() < length) {
                return reply(KVCMD_PDU::STATUS_BAD_PDU);
            }
            WordMap& target = chip.written[DATA_SPACE];
            for (uint16_t i = 0; i < length; ++i) {
                target[address + i] = memory.get_uint16(KVCMD_PDU::OFFSET_DATA + 2 * i);
            }
            state.dirty = true;
            return reply(KVCMD_PDU::STATUS_OK);
        }

        default:
            return reply(KVCMD_PDU::STATUS_NO_SUCH_VARID);
    }
}

}  // namespace kvcmdsim
