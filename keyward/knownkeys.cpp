#include <keyward/knownkeys.h>

KnownKeySet::KnownKeySet(std::initializer_list<uint16_t> keys) {
    for (uint16_t key : keys) {
        insert(key);
    }
}

bool KnownKeySet::insert(uint16_t key) {
    uint64_t& word = mWords[key / kBits];
    const uint64_t bit = uint64_t{1} << (key % kBits);
    const bool added = (word & bit) == 0;
    word |= bit;
    return added;
}

void KnownKeySet::insert(uint16_t first, uint16_t last) {
    if (first > last) {
        return;
    }
    const uint32_t firstWord = first / kBits;
    const uint32_t lastWord = last / kBits;
    const uint64_t low = ~uint64_t{0} << (first % kBits);              // bits from `first` up
    const uint64_t high = ~uint64_t{0} >> (kBits - 1 - last % kBits);  // bits up to `last`
    if (firstWord == lastWord) {
        mWords[firstWord] |= low & high;
        return;
    }
    mWords[firstWord] |= low;
    for (uint32_t w = firstWord + 1; w < lastWord; ++w) {
        mWords[w] = ~uint64_t{0};
    }
    mWords[lastWord] |= high;
}

uint32_t KnownKeySet::lower_bound(uint32_t key) const {
    if (key >= kNone) {
        return kNone;
    }
    uint32_t w = key / kBits;
    uint64_t word = mWords[w] & (~uint64_t{0} << (key % kBits));
    while (word == 0) {
        if (++w == mWords.size()) {
            return kNone;
        }
        word = mWords[w];
    }
    return w * kBits + static_cast<uint32_t>(__builtin_ctzll(word));
}
