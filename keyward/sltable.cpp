#include "trace.h"

#include <keyward/sltable.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

using Entries = std::map<uint16_t, uint32_t>;

constexpr int kSingleCandidateAttempts = 3;
constexpr uint16_t kChunkWords = 56;
constexpr uint32_t kMaxTableWords = 256;
constexpr uint16_t kShortTableWords = 28;
constexpr uint16_t kShortTableLastId = 13;
constexpr uint32_t kExtendedTableWords = 255;
constexpr int kExtendedTriplesPerRead = 18;
// Redirections followed before a table must appear; chip memory is not trusted.
constexpr int kMaxRedirections = 8;
constexpr uint32_t kDataSpace = 4;
constexpr uint16_t kEntryBank = 9;  // present in the tables of the upper-bank variant

bool High(GenericPointer where) {
    return where.space == 2 && where.address > 0x7FFF;
}

}  // namespace

SlTable::SlTable(IMemoryReaderGP* reader)
    : mVariant(0), mExtended(false), mReader(reader), mIdentity(nullptr), mEntries(nullptr) {}

SlTable::~SlTable() {
    delete mEntries;
}

void SlTable::clear() {
    delete mEntries;
    mEntries = nullptr;
}

bool SlTable::has_entry(uint16_t id) const {
    return mEntries != nullptr && mEntries->count(id) != 0;
}

uint32_t SlTable::entry_value(uint16_t id) const {
    if (mEntries == nullptr) {
        return 0;
    }
    const auto it = mEntries->find(id);
    return it != mEntries->end() ? it->second : 0;
}

bool SlTable::locate(int variant, bool force) {
    bool found = false;
    KEYWARD_TRACE_RETURN(found);
    if (mReader == nullptr) {
        return found;
    }
    if (mEntries != nullptr && mVariant == variant && !force) {
        found = true;
        return found;
    }
    clear();
    mVariant = variant;
    mExtended = false;

    const std::vector<Candidate> list = candidates(variant);
    const bool single = list.size() == 1;
    for (const Candidate& candidate : list) {
        if (try_candidate(candidate, single)) {
            found = true;
            break;
        }
    }
    return found;
}

std::vector<SlTable::Candidate> SlTable::candidates(int variant) {
    const Candidate c1{Reader::PLAIN, {4, 0x0200}};
    const Candidate c2{Reader::PLAIN, {4, 0x0100}};
    const Candidate c3{Reader::SHORT, {4, 0x13FB8}};
    const Candidate c4{Reader::PLAIN, {2, 0x0200}};
    const Candidate c5{Reader::PLAIN_WITHOUT_9, {2, 0x0100}};
    const Candidate c6{Reader::PLAIN, {2, 0x8200}};
    const Candidate c7{Reader::PLAIN_WITH_9, {2, 0x0100}};
    const Candidate c8{Reader::PLAIN, {2, 0x8100}};
    const Candidate c9{Reader::EXTENDED, {2, 0x0012}};
    const Candidate c10{Reader::EXTENDED, {34, 0x0012}};

    const bool identified = mIdentity != nullptr && mIdentity->is_identified();
    const ChipMemoryMap* map = identified ? mIdentity->record().memory_map : nullptr;
    GenericPointer pointer{};
    switch (variant) {
        case 0:
            if (identified) {
                switch (mIdentity->memory_access_class()) {
                    case CHIP_MEMORY_FIXED:
                        return {mIdentity->has_version_id() ? c1 : c2};
                    case CHIP_MEMORY_POINTER: {
                        uint16_t low = 0;
                        uint16_t high = 0;
                        if (mIdentity->version_word() < 256) {
                            const uint16_t selector = mIdentity->second_word() & 0xFF;
                            if (selector == 0x22) {
                                low = POINTER_LOW;
                                high = POINTER_HIGH;
                            } else if (selector == 0x44 || selector == 0x45) {
                                low = POINTER_LOW_LATE;
                                high = POINTER_HIGH_LATE;
                            }
                        }
                        // A chip type without a known pointer place is searched in the usual
                        // places rather than through the words at address 0.
                        if (low != 0 && read_pointer(low, high, pointer)) {
                            return {Candidate{Reader::EXTENDED, pointer}};
                        }
                        return {c1, c2};
                    }
                    case CHIP_MEMORY_SHORT:
                        return {c3};
                    default:
                        break;
                }
            }
            if (read_pointer(POINTER_LOW, POINTER_HIGH, pointer)) {
                return {c1, c2, Candidate{Reader::EXTENDED, pointer}};
            }
            return {c1, c2};
        case 1:
            switch (map != nullptr ? map->variant1_placement : CHIP_V1_ANY) {
                case CHIP_V1_LOW_0200:
                    return {c4};
                case CHIP_V1_LOW_0100:
                    return {c5};
                case CHIP_V1_EXTENDED:
                    return {c9};
                default:
                    return {c4, c5, c9};
            }
        case 2:
            switch (map != nullptr ? map->variant2_placement : CHIP_V2_ANY) {
                case CHIP_V2_HIGH_8200:
                    return {c6};
                case CHIP_V2_LOW_0100:
                    return {c7};
                case CHIP_V2_HIGH_8100:
                    return {c8, c7};
                case CHIP_V2_EXTENDED:
                    return {c9};
                default:
                    return {c6, c7, c8, c9};
            }
        case 3:
            return {c10};
        default:
            return {};
    }
}

bool SlTable::read_pointer(uint16_t low_address, uint16_t high_address, GenericPointer& pointer) {
    uint16_t low = 0;
    uint16_t high = 0;
    if (!mReader->read_mem(GenericPointer{kDataSpace, 2u * low_address}, 1, &low) ||
        !mReader->read_mem(GenericPointer{kDataSpace, 2u * high_address}, 1, &high)) {
        return false;
    }
    pointer = GenericPointer{static_cast<uint32_t>(high >> 8),
                             (static_cast<uint32_t>(high & 0xFF) << 16) | low};
    return pointer.space != 0 || pointer.address != 0;
}

bool SlTable::try_candidate(const Candidate& candidate, bool single) {
    switch (candidate.reader) {
        case Reader::PLAIN:
            return read_plain(candidate.where, single);
        case Reader::PLAIN_WITHOUT_9:
        case Reader::PLAIN_WITH_9: {
            if (!read_plain(candidate.where, single)) {
                return false;
            }
            if (has_entry(kEntryBank) != (candidate.reader == Reader::PLAIN_WITH_9)) {
                clear();
                return false;
            }
            return true;
        }
        case Reader::SHORT:
            return read_short(candidate.where, single);
        case Reader::EXTENDED:
            return read_extended(candidate.where, single);
    }
    return false;
}

bool SlTable::read_header(GenericPointer where, bool single, uint16_t header[3]) {
    const int attempts = single ? kSingleCandidateAttempts : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(mHeaderRetryWait);
        }
        if (mReader->read_mem(where, 3, header) &&
            (header[0] == MAGIC_TABLE || header[0] == MAGIC_SHORT || header[0] == MAGIC_REDIRECT)) {
            return true;
        }
    }
    return false;
}

bool SlTable::read_plain(GenericPointer where, bool single) {
    uint16_t header[3] = {};
    if (!read_header(where, single, header) || header[0] != MAGIC_TABLE) {
        return false;
    }
    // Tables in the upper half of memory space 2 are addressed relative to its second bank.
    const bool high = High(where);
    const uint32_t p = header[1] + (high ? 0x4000u : 0u);
    auto entries = std::make_unique<Entries>();
    uint16_t words[kChunkWords];
    for (uint32_t read = 0; read < kMaxTableWords; read += kChunkWords) {
        if (!mReader->read_mem(GenericPointer{where.space, 2 * (p + read)}, kChunkWords, words)) {
            break;
        }
        for (int i = 0; i + 1 < kChunkWords; i += 2) {
            const uint16_t id = words[i];
            if (id == 0) {
                mEntries = entries.release();
                return true;
            }
            uint32_t value = words[i + 1];
            if (high && (id == 7 || id == 8 || id == 13)) {
                value += 0x4000;
            }
            (*entries)[id] = value;
        }
    }
    return false;
}

bool SlTable::read_short(GenericPointer where, bool single) {
    uint16_t header[3] = {};
    if (!read_header(where, single, header)) {
        return false;
    }
    auto entries = std::make_unique<Entries>();
    if (header[0] == MAGIC_TABLE) {
        uint16_t words[kShortTableWords];
        if (!mReader->read_mem(where, kShortTableWords, words)) {
            return false;
        }
        for (int i = 2; i + 1 < kShortTableWords; i += 2) {
            if (words[i] == 0 || words[i] > kShortTableLastId) {
                break;
            }
            (*entries)[words[i]] = words[i + 1];
        }
    } else if (header[0] == MAGIC_SHORT) {
        uint16_t words[4];
        if (!mReader->read_mem(where, 4, words)) {
            return false;
        }
        for (uint16_t id = 1; id <= 3; ++id) {
            (*entries)[id] = words[id];
        }
    } else {
        return false;
    }
    mEntries = entries.release();
    return true;
}

bool SlTable::read_extended(GenericPointer where, bool single) {
    uint16_t header[3] = {};
    for (int redirections = 0;; ++redirections) {
        if (!read_header(where, single, header)) {
            return false;
        }
        if (header[0] != MAGIC_REDIRECT) {
            break;
        }
        if (redirections == kMaxRedirections) {
            return false;
        }
        const uint32_t location = header[1] | (static_cast<uint32_t>(header[2]) << 16);
        where = GenericPointer{location >> 24, location & 0xFFFFFF};
    }
    if (header[0] != MAGIC_TABLE) {
        return false;
    }
    auto entries = std::make_unique<Entries>();
    uint16_t words[kChunkWords];
    uint32_t position = 1;  // words past the header's magic
    for (;;) {
        if (!mReader->read_mem(GenericPointer{where.space, where.address + 2 * position},
                               kChunkWords, words)) {
            return false;
        }
        for (int t = 0; t < kExtendedTriplesPerRead; ++t) {
            const uint16_t* triple = words + 3 * t;
            if (triple[0] != 0) {
                (*entries)[triple[0]] = triple[1] | (static_cast<uint32_t>(triple[2]) << 16);
                position += 3;
            }
            if (triple[0] == 0 || position > kExtendedTableWords) {
                mExtended = true;
                mEntries = entries.release();
                return true;
            }
        }
    }
}
