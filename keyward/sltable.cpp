#include "trace.h"

#include <keyward/sltable.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int kSingleCandidateAttempts = 3;
constexpr auto kHeaderRetryWait = std::chrono::milliseconds(100);
constexpr uint16_t kChunkWords = 56;
constexpr uint32_t kMaxTableWords = 256;

}  // namespace

SlTable::SlTable(IMemoryReaderGP* reader)
    : mVariant(0), mExtended(false), mReader(reader), mEntries(nullptr) {}

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

    std::vector<GenericPointer> candidates;
    if (variant == 0) {
        candidates = {{4, 0x0200}, {4, 0x0100}};
    }
    const bool single = candidates.size() == 1;
    for (const GenericPointer& where : candidates) {
        if (read_plain(where, single)) {
            found = true;
            break;
        }
    }
    return found;
}

bool SlTable::read_header(GenericPointer where, bool single, uint16_t header[3]) {
    const int attempts = single ? kSingleCandidateAttempts : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(kHeaderRetryWait);
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
    const bool high = where.space == 2 && where.address > 0x7FFF;
    const uint32_t p = header[1] + (high ? 0x4000u : 0u);
    auto* entries = new std::map<uint16_t, uint32_t>;
    uint16_t words[kChunkWords];
    for (uint32_t read = 0; read < kMaxTableWords; read += kChunkWords) {
        if (!mReader->read_mem(GenericPointer{where.space, 2 * (p + read)}, kChunkWords, words)) {
            break;
        }
        for (int i = 0; i + 1 < kChunkWords; i += 2) {
            const uint16_t id = words[i];
            if (id == 0) {
                mEntries = entries;
                return true;
            }
            uint32_t value = words[i + 1];
            if (high && (id == 7 || id == 8 || id == 13)) {
                value += 0x4000;
            }
            (*entries)[id] = value;
        }
    }
    delete entries;
    return false;
}
