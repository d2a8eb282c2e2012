// The simulated chip's memory: the firmware's own words (symbol lookup table, key list,
// identification words) under the words written explicitly.
#include "state.h"

#include <kvcmdsim/simchip.h>

#include <algorithm>

namespace kvcmdsim {

namespace {

constexpr uint16_t kPsKeyListEntry = 31;

// Copies the words of `words` that lie in [address, address + count) to `out`.
void Overlay(const WordMap& words, uint32_t address, uint32_t count, uint16_t* out) {
    const uint64_t end = uint64_t{address} + count;
    for (auto word = words.lower_bound(address); word != words.end() && word->first < end; ++word) {
        out[word->first - address] = word->second;
    }
}

void Overlay(const WordList& words, uint32_t address, uint32_t count, uint16_t* out) {
    const uint64_t end = uint64_t{address} + count;
    auto word = std::lower_bound(words.begin(), words.end(), address,
                                 [](const auto& w, uint32_t a) { return w.first < a; });
    for (; word != words.end() && word->first < end; ++word) {
        out[word->first - address] = word->second;
    }
}

}  // namespace

// ---------------------------------------------------------------- memory

bool SimChip::State::MemoryRange(uint32_t space, uint32_t address, uint32_t count) const {
    const auto s = content.spaces.find(space);
    return s != content.spaces.end() && address <= s->second && count <= s->second - address;
}

// Words never written read 0; explicitly written words cover the firmware's own. Each layer is
// walked once over the range, not searched word by word.
void SimChip::State::ReadWords(uint32_t space, uint32_t address, uint32_t count, uint16_t* out) {
    std::fill(out, out + count, uint16_t{0});
    if (firmwareMemoryStale) {
        RebuildFirmwareMemory();
    }
    if (const auto f = firmwareMemory.find(space); f != firmwareMemory.end()) {
        Overlay(f->second, address, count, out);
    }
    if (const auto w = content.written.find(space); w != content.written.end()) {
        Overlay(w->second, address, count, out);
    }
}

WordList WordWriter::Take() {
    WordList words = SortedLaterWins(std::move(mWords));
    mWords.clear();
    return words;
}

void SimChip::State::RebuildFirmwareMemory() {
    std::map<uint32_t, WordWriter> memory;
    WordWriter& data = memory[DATA_SPACE];
    data[VERSION_WORD_ADDRESS] = content.versionWord;
    data[SECOND_WORD_ADDRESS] = content.secondWord;
    data[SUB_ID_ADDRESS] = content.subId;
    const TableLayout& layout = content.layout;
    if (layout.present) {
        WriteTable(layout, memory);

        uint32_t at = layout.key_list;
        for (const KeyRange& range : content.firmwareKeys.Ranges()) {
            data[at++] = range.first;
            data[at++] = range.last;
        }
        data[at++] = 0;
        data[at] = 0;
    }
    firmwareMemory.clear();
    for (auto& [space, words] : memory) {
        firmwareMemory[space] = words.Take();
    }
    firmwareMemoryStale = false;
}

void SimChip::State::WriteTable(const TableLayout& layout,
                                std::map<uint32_t, WordWriter>& memory) const {
    std::map<uint16_t, uint16_t> entries = content.symbols;
    entries.erase(0);
    if (layout.form != TableLayout::FIXED) {
        entries[kPsKeyListEntry] = static_cast<uint16_t>(layout.key_list);
    }
    WordWriter& table = memory[layout.space];
    uint32_t at = layout.header;
    switch (layout.form) {
        case TableLayout::PLAIN: {
            // The upper bank of space 2 holds its entries address and the values of entries 7,
            // 8 and 13 relative to word 0x4000.
            const bool high = layout.space == 2 && layout.header >= 0x4000;
            const uint16_t bank = high ? 0x4000 : 0;
            table[at] = SlTable::MAGIC_TABLE;
            table[at + 1] = static_cast<uint16_t>(layout.entries - bank);
            table[at + 2] = 0;
            at = layout.entries;
            for (const auto& [id, value] : entries) {
                table[at++] = id;
                table[at++] = id == 7 || id == 8 || id == 13 ? value - bank : value;
            }
            table[at++] = 0;
            table[at] = 0;
            break;
        }
        case TableLayout::SHORT:
            table[at++] = SlTable::MAGIC_TABLE;
            table[at++] = 0;
            for (const auto& [id, value] : entries) {
                table[at++] = id;
                table[at++] = value;
            }
            table[at++] = 0;
            table[at] = 0;
            break;
        case TableLayout::FIXED:
            table[at] = SlTable::MAGIC_SHORT;
            for (uint16_t id = 1; id <= 3; ++id) {
                const auto entry = entries.find(id);
                table[at + id] = entry != entries.end() ? entry->second : 0;
            }
            break;
        case TableLayout::EXTENDED:
            table[at++] = SlTable::MAGIC_TABLE;
            for (const auto& [id, value] : entries) {
                table[at++] = id;
                table[at++] = value;
                table[at++] = 0;
            }
            table[at] = 0;
            break;
    }

    // Redirection and pointer name byte addresses: space in bits 24 to 31 (redirection) or 8 to
    // 15 of the high word (pointer).
    uint32_t target = 2 * layout.header;
    uint32_t targetSpace = layout.space;
    if (layout.redirect_space != 0) {
        const uint32_t location = (layout.space << 24) | (target & 0xFFFFFF);
        WordWriter& redirect = memory[layout.redirect_space];
        redirect[layout.redirect_at] = SlTable::MAGIC_REDIRECT;
        redirect[layout.redirect_at + 1] = static_cast<uint16_t>(location);
        redirect[layout.redirect_at + 2] = static_cast<uint16_t>(location >> 16);
        target = 2 * layout.redirect_at;
        targetSpace = layout.redirect_space;
    }
    if (layout.pointer_at != 0) {
        WordWriter& data = memory[DATA_SPACE];
        data[layout.pointer_at] = static_cast<uint16_t>(target);
        data[layout.pointer_at + 1] =
            static_cast<uint16_t>(((targetSpace & 0xFF) << 8) | ((target >> 16) & 0xFF));
    }
}

// ---------------------------------------------------------------- memory

void SimChip::AddMemorySpace(uint32_t space, uint32_t words) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.spaces[space] = words;
    mState->dirty = true;
}

bool SimChip::WriteMemory(uint32_t space, uint32_t word_address,
                          const std::vector<uint16_t>& words) {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mState->MemoryRange(space, word_address, static_cast<uint32_t>(words.size()))) {
        return false;
    }
    WordMap& target = mState->content.written[space];
    for (size_t i = 0; i < words.size(); ++i) {
        target[word_address + static_cast<uint32_t>(i)] = words[i];
    }
    mState->dirty = true;
    return true;
}

bool SimChip::ReadMemory(uint32_t space, uint32_t word_address, uint32_t count,
                         uint16_t* out) const {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mState->MemoryRange(space, word_address, count)) {
        return false;
    }
    mState->ReadWords(space, word_address, count, out);
    return true;
}

void SimChip::ClearWrittenMemory() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.written.clear();
    mState->dirty = true;
}

void SimChip::SetTableLayout(const TableLayout& layout) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.layout = layout;
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

TableLayout SimChip::GetTableLayout() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.layout;
}

void SimChip::SetSymbol(uint16_t id, uint16_t value) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.symbols[id] = value;
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::RemoveSymbol(uint16_t id) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.symbols.erase(id);
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

bool SimChip::DebugRead(uint32_t space, uint32_t word_address, uint32_t count,
                        uint16_t* out) const {
    std::lock_guard<std::mutex> guard(mLock);
    if (mState->content.secure || !mState->MemoryRange(space, word_address, count)) {
        return false;
    }
    mState->ReadWords(space, word_address, count, out);
    return true;
}

}  // namespace kvcmdsim
