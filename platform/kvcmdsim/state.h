// The state behind SimChip, shared by the chip's source files.
#pragma once

#include <kvcmdsim/simchip.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kvcmdsim {

using Value = std::vector<uint16_t>;
using WordMap = std::map<uint32_t, uint16_t>;  // word address -> word

// Words of one space as (address, word), ascending by address, each address once: the
// firmware's own memory, made in one piece whenever the firmware changes.
using WordList = std::vector<std::pair<uint32_t, uint16_t>>;

// (key, value) pairs given in any order, in ascending key order with each key once: of two
// pairs with one key the later wins. One sort and one pass.
template <typename Pairs>
Pairs SortedLaterWins(Pairs pairs) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Pairs sorted;
    sorted.reserve(pairs.size());
    for (const auto& pair : pairs) {
        if (!sorted.empty() && sorted.back().first == pair.first) {
            sorted.back().second = pair.second;
        } else {
            sorted.push_back(pair);
        }
    }
    return sorted;
}

// Collects words written in any order, as `words[address] = word`; Take gives them as a
// WordList in which a later write to an address wins over an earlier one.
class WordWriter {
  public:
    // The word at `address`, to be assigned before the next write.
    uint16_t& operator[](uint32_t address) { return mWords.emplace_back(address, 0).second; }
    WordList Take();

  private:
    WordList mWords;
};

// A set of key numbers kept as ascending (first, last) ranges that neither overlap nor touch,
// so that equal sets hold equal ranges. A firmware's keys come in long runs (the standard
// firmware's 1727 keys are 57 ranges): every chip copies its key list in one allocation, and a
// range such as 0001-ffff costs no more than one key.
class KeySet {
  public:
    KeySet() = default;

    bool Contains(uint16_t key) const;
    bool Empty() const { return mRanges.empty(); }
    // The ranges in order, as the firmware's key list in memory names them.
    const std::vector<KeyRange>& Ranges() const { return mRanges; }

    // Adds one key; true when it was not there yet.
    bool Insert(uint16_t key);
    // Adds, or removes, every key of the range (none when first > last).
    void Insert(KeyRange range);
    void Erase(KeyRange range);
    void Insert(const KeySet& keys);
    // Adds every key of the ranges at once, in any order: one sort and one pass, where adding
    // them one by one would move the ranges after each (a chip image may list many).
    void Insert(std::vector<KeyRange> ranges);
    void Clear() { mRanges.clear(); }

    bool operator==(const KeySet&) const = default;

  private:
    std::vector<KeyRange> mRanges;
};

// The presentation keys a firmware resolves, by key number, in one sorted vector: a chip copies
// the standard firmware's fields in one allocation.
class FieldMap {
  public:
    using Entry = std::pair<uint16_t, PresentationField>;

    // The field of `key`; null when it is no presentation key.
    const PresentationField* Find(uint16_t key) const;
    void Set(uint16_t key, const PresentationField& field);
    // Replaces every field with `entries`, in any order; of two entries for one key the later
    // wins, as with Set. One sort, where Set in descending order would move every entry.
    void Assign(std::vector<Entry> entries);
    void Clear() { mEntries.clear(); }
    bool Empty() const { return mEntries.empty(); }
    std::vector<Entry>::const_iterator begin() const { return mEntries.begin(); }
    std::vector<Entry>::const_iterator end() const { return mEntries.end(); }

    bool operator==(const FieldMap&) const = default;

  private:
    std::vector<Entry> mEntries;
};

// What a chip image holds, plus the transient store (which is never saved).
struct ChipContent {
    std::map<uint16_t, std::map<uint16_t, Value>> stores;  // store bit -> key -> value
    KeySet firmwareKeys;
    FieldMap presentation;
    int firmwareId = 0;
    std::wstring firmwareName = L"Simulated chip firmware";
    uint16_t versionWord = 0;
    uint16_t secondWord = 0;
    uint16_t subId = 0;
    bool secure = false;
    bool writeProtected = false;
    bool layerA = false;
    uint16_t maxPduWords = 4096;
    std::map<std::string, std::string> vars;
    std::map<uint32_t, uint32_t> spaces = {{DATA_SPACE, 0x10000}};  // space -> size in words
    std::map<uint32_t, WordMap> written;                            // explicitly written words
    TableLayout layout;
    std::map<uint16_t, uint16_t> symbols;

    // A chip with the standard firmware.
    static ChipContent Blank();
};

struct FailRule {
    uint16_t varid;
    int key;
    uint16_t status;
    int remaining;  // -1: until cleared
};

// The last requests, oldest first, kept in a ring of buffers that are reused: once the ring
// has held a request as long, recording one costs no allocation. Clear keeps the buffers.
class RequestRing {
  public:
    static constexpr size_t kLimit = 256;

    // Records a request; returns its copy in the ring, for the link to stamp.
    uint8_t* Add(const uint8_t* bytes, size_t size) {
        std::vector<uint8_t>* slot;
        if (mCount < kLimit) {
            if (mCount == mSlots.size()) {
                mSlots.emplace_back();
            }
            slot = &mSlots[mCount++];
        } else {
            slot = &mSlots[mFirst];
            mFirst = (mFirst + 1) % kLimit;
        }
        slot->assign(bytes, bytes + size);
        return slot->data();
    }
    std::vector<std::vector<uint8_t>> Copy() const {
        std::vector<std::vector<uint8_t>> requests;
        requests.reserve(mCount);
        for (size_t i = 0; i < mCount; ++i) {
            requests.push_back(mSlots[(mFirst + i) % kLimit]);
        }
        return requests;
    }
    void Clear() {
        mFirst = 0;
        mCount = 0;
    }

  private:
    std::vector<std::vector<uint8_t>> mSlots;
    size_t mFirst = 0;  // the oldest request, once the ring is full
    size_t mCount = 0;
};

// Request counts by number (a varid, or a varid and a key as varid << 16 | key), in one
// open-addressed table: once the table has room for the numbers seen, counting a request costs
// no allocation, and Clear keeps the room.
class CountTable {
  public:
    void Add(uint32_t number);
    uint64_t Count(uint32_t number) const;
    void Clear();

  private:
    struct Slot {
        uint32_t number;
        uint64_t count;  // 0: a free slot
    };
    size_t Home(uint32_t number) const;
    void Grow();

    std::vector<Slot> mSlots;  // a power of two long, at most half in use
    size_t mUsed = 0;
};

struct SimChip::State {
    ChipContent content;

    // The firmware's own memory content, rebuilt from `content` when stale.
    std::map<uint32_t, WordList> firmwareMemory;
    bool firmwareMemoryStale = true;

    // Counters.
    uint64_t transacts = 0;
    CountTable perVarid;
    CountTable perKey;  // varid << 16 | key
    uint64_t opens = 0;
    uint64_t resets = 0;
    uint64_t overlaps = 0;
    RequestRing log;
    std::atomic<int> inside{0};

    // Faults.
    std::vector<FailRule> failRules;
    std::deque<LinkStep> linkSteps;
    std::chrono::microseconds delay{0};
    bool unreachable = false;
    bool silent = false;

    // The last response, kept so that the next one can be built in its body once its receiver
    // has let it go (see PDU's recycling constructor).
    PDU spareReply;

    // Image.
    std::string imagePath;
    bool dirty = false;

    // Words as the chip sees them, of a range that lies in the space (MemoryRange).
    void ReadWords(uint32_t space, uint32_t address, uint32_t count, uint16_t* out);
    bool MemoryRange(uint32_t space, uint32_t address, uint32_t count) const;
    void RebuildFirmwareMemory();
    // Writes the lookup table (with its redirection and pointer) into the firmware's memory.
    void WriteTable(const TableLayout& layout, std::map<uint32_t, WordWriter>& memory) const;
};

// The standard firmware: every ordinary key of keyward's database, and its presentation keys.
// Its key list names both; OrdinaryFirmwareKeys is that list without the presentation keys.
const KeySet& StandardFirmwareKeys();
const KeySet& OrdinaryFirmwareKeys();
const FieldMap& StandardPresentationKeys();

// The value a read of `key` sees: the first store of the search order within the selection of
// `storesWord` (0 selects every store); null when none holds it.
const Value* FindValue(const ChipContent& chip, uint16_t key, uint16_t storesWord);

// Image text of `content`, and `content` read from image text (false with `error` set).
std::string FormatImage(const ChipContent& content);
bool ParseImage(const std::string& text, ChipContent& content, std::string& error);

}  // namespace kvcmdsim
