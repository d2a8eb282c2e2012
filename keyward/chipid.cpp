#include <keyward/chipid.h>

#include <cstdio>

namespace {

const ChipArchRoutines kWordMachine = {"16-bit word machine", 2};
const ChipArchRoutines kByteMachine = {"32-bit byte machine", 1};

const ChipArchitecture kArchUnknown = {0, CHIP_MEMORY_SEARCH, 0, nullptr, 0};
const ChipArchitecture kArchFixed = {1, CHIP_MEMORY_FIXED, 0, &kWordMachine, 1};
const ChipArchitecture kArchFixedWide = {2, CHIP_MEMORY_FIXED, 1, &kWordMachine, 2};
const ChipArchitecture kArchPointer = {3, CHIP_MEMORY_POINTER, 1, &kWordMachine, 3};
const ChipArchitecture kArchShort = {1, CHIP_MEMORY_SHORT, 0, &kWordMachine, 0};
const ChipArchitecture kArchSearch = {4, CHIP_MEMORY_SEARCH, 1, &kWordMachine, 2};
const ChipArchitecture kArchBanked = {5, CHIP_MEMORY_BANKED, 2, &kByteMachine, 4};

const ChipMemoryMap kMapNone = {0, 0, CHIP_V1_ANY, CHIP_V2_ANY};
const ChipMemoryMap kMapSmall = {16, 64, CHIP_V1_LOW_0200, CHIP_V2_HIGH_8200};
const ChipMemoryMap kMapMedium = {32, 128, CHIP_V1_LOW_0100, CHIP_V2_LOW_0100};
const ChipMemoryMap kMapLarge = {48, 256, CHIP_V1_EXTENDED, CHIP_V2_HIGH_8100};
const ChipMemoryMap kMapPointer = {64, 512, CHIP_V1_EXTENDED, CHIP_V2_EXTENDED};
const ChipMemoryMap kMapAny = {32, 128, CHIP_V1_ANY, CHIP_V2_ANY};

constexpr uint32_t ES = CHIP_ENGINEERING_SAMPLE;
constexpr uint32_t WD = CHIP_WITHDRAWN;

const ChipRecord kCatalogue[CHIP_CATALOGUE_SIZE] = {
    {0, 0x00, 0, "", "unknown", &kArchUnknown, &kMapNone, 0},
    {1, 0x01, 0, "MVT1001", "auk", &kArchFixed, &kMapSmall, ES},
    {2, 0x02, 0, "MVT1002", "bittern", &kArchFixed, &kMapSmall, 0},
    {3, 0x03, 0, "MVT1004", "coot", &kArchFixed, &kMapSmall, 0},
    {4, 0x04, 0, "MVT1010", "dunlin", &kArchFixed, &kMapMedium, 0},
    {5, 0x05, 0, "MVT1012", "eider", &kArchFixed, &kMapMedium, 0},
    {6, 0x06, 0, "MVT1020", "fulmar", &kArchShort, &kMapSmall, WD},
    {7, 0x07, 0, "MVT1022", "gannet", &kArchShort, &kMapSmall, 0},
    {8, 0x08, 0, "MVT2001", "heron", &kArchSearch, &kMapMedium, 0},
    {9, 0x09, 0, "MVT2002", "ibis", &kArchSearch, &kMapMedium, 0},
    {10, 0x0A, 0, "MVT2010", "jacana", &kArchSearch, &kMapLarge, 0},
    {11, 0x0B, 0, "MVT2012", "kittiwake", &kArchFixedWide, &kMapLarge, 0},
    {12, 0x0C, 1, "MVT2020", "lapwing", &kArchFixedWide, &kMapLarge, 0},
    {13, 0x0C, 2, "MVT2021", "lapwing", &kArchFixedWide, &kMapLarge, 0},
    {14, 0x0D, 0, "MVT2100", "merlin", &kArchBanked, &kMapAny, 0},
    {15, 0x0E, 0, "MVT2102", "nightjar", &kArchFixedWide, &kMapMedium, 0},
    {16, 0x0F, 0, "MVT2110", "osprey", &kArchSearch, &kMapAny, 0},
    {17, 0x10, 0, "MVT2112", "plover", &kArchBanked, &kMapLarge, 0},
    {18, 0x11, 1, "MVT3001", "quail", &kArchSearch, &kMapMedium, 0},
    {19, 0x11, 3, "MVT3003", "quail", &kArchSearch, &kMapMedium, 0},
    {20, 0x12, 0, "MVT3010", "redshank", &kArchFixedWide, &kMapLarge, 0},
    {21, 0x14, 0, "MVT3012", "sanderling", &kArchFixedWide, &kMapLarge, 0},
    {22, 0x15, 0, "MVT3020", "shearwater", &kArchBanked, &kMapAny, 0},
    {23, 0x16, 0, "MVT3022", "skua", &kArchSearch, &kMapLarge, 0},
    {24, 0x17, 0, "MVT3100", "smew", &kArchFixedWide, &kMapMedium, 0},
    {25, 0x18, 0, "MVT3102", "snipe", &kArchShort, &kMapSmall, 0},
    {26, 0x19, 0, "MVT3110", "stilt", &kArchSearch, &kMapLarge, 0},
    {27, 0x1A, 0, "MVT3112", "stint", &kArchBanked, &kMapLarge, 0},
    {28, 0x1B, 0, "MVT3120", "swift", &kArchFixedWide, &kMapLarge, 0},
    {29, 0x1C, 0, "MVT3122", "teal", &kArchSearch, &kMapLarge, 0},
    // The older silicon of chip id 0x13; see the lookup.
    {30, 0x13, 0, "MVT3200", "tern", &kArchFixedWide, &kMapMedium, 0},
    {31, 0x13, 0, "MVT3201", "tern", &kArchFixedWide, &kMapLarge, 0},
    {32, 0x1D, 0, "MVT3210", "thrush", &kArchSearch, &kMapLarge, 0},
    {33, 0x1E, 0, "MVT3212", "turnstone", &kArchBanked, &kMapAny, 0},
    {34, 0x1F, 0, "MVT3220", "twite", &kArchFixedWide, &kMapLarge, 0},
    {35, 0x20, 0, "MVT4001", "vireo", &kArchPointer, &kMapPointer, 0},
    {36, 0x21, 0, "MVT4010", "wagtail", &kArchPointer, &kMapPointer, 0},
    {37, 0x22, 0, "MVT4120", "warbler", &kArchPointer, &kMapPointer, 0},
    {38, 0x23, 0, "MVT4122", "waxwing", &kArchPointer, &kMapPointer, ES},
    {39, 0x30, 0, "MVT4200", "wheatear", &kArchPointer, &kMapPointer, 0},
    {40, 0x31, 0, "MVT4202", "whimbrel", &kArchPointer, &kMapPointer, 0},
    {41, 0x40, 0, "MVT4300", "wigeon", &kArchBanked, &kMapAny, 0},
    {42, 0x44, 0, "MVT4310", "woodcock", &kArchPointer, &kMapPointer, 0},
    {43, 0x45, 0, "MVT4312", "wren", &kArchPointer, &kMapPointer, 0},
    {44, 0x46, 0, "", "wryneck", &kArchSearch, &kMapAny, ES},
    {45, 0x50, 0, "MVT5000", "yellowlegs", &kArchBanked, &kMapAny, 0},
};

// The record passed over for words of newer silicon, and the first high byte of those words.
constexpr uint32_t kOlderSiliconRecord = 30;
constexpr uint16_t kNewerSiliconHighByte = 0x41;

uint32_t VersionId(uint16_t version_word) {
    return (version_word >> 8) & 0x1F;
}

}  // namespace

const ChipRecord* ChipCatalogue() {
    return kCatalogue;
}

ChipIdentity::ChipIdentity()
    : mVersionWord(NOT_READ),
      mSecondWord(NOT_READ),
      mSubId(0),
      mSubIdGiven(false),
      mForced(false),
      mChipIndex(0),
      mText() {
    describe();
}

void ChipIdentity::lookup(uint32_t id, uint32_t sub, uint16_t raw_word) {
    if (id == 0) {
        return;
    }
    mChipIndex = 0;
    for (uint32_t i = 1; i < CHIP_CATALOGUE_SIZE; ++i) {
        const ChipRecord& record = kCatalogue[i];
        if (record.chip_id != id || (sub != 0 && record.sub_id != sub)) {
            continue;
        }
        if (record.chip_index == kOlderSiliconRecord && (raw_word >> 8) >= kNewerSiliconHighByte) {
            continue;
        }
        mChipIndex = record.chip_index;
        return;
    }
}

void ChipIdentity::identify_from_version(uint16_t version_word) {
    mVersionWord = version_word;
    mSubId = 0;
    mSubIdGiven = false;
    lookup(VersionId(version_word), 0, version_word);
    describe();
}

void ChipIdentity::identify_from_second(uint16_t second_word) {
    mSecondWord = second_word;
    lookup(second_word & 0xFF, 0, second_word);
    describe();
}

void ChipIdentity::identify_from_words(uint16_t version_word, uint16_t second_word) {
    identify_from_version(version_word);
    identify_from_second(second_word);
}

void ChipIdentity::identify_from_version_and_sub_id(uint16_t version_word, uint16_t sub_id) {
    mVersionWord = version_word;
    mSubId = sub_id;
    mSubIdGiven = true;
    lookup(VersionId(version_word), sub_id & 0xFF, version_word);
    describe();
}

bool ChipIdentity::is_identified(bool any_readable_chip) const {
    if (mForced) {
        return true;
    }
    if (any_readable_chip) {
        return mVersionWord != NOT_READ;
    }
    return mChipIndex != 0 && mVersionWord != NOT_READ &&
           !(mSecondWord == NOT_READ && !has_version_id()) &&
           !(record().sub_id != 0 && !mSubIdGiven);
}

const ChipRecord& ChipIdentity::record() const {
    return kCatalogue[mChipIndex < CHIP_CATALOGUE_SIZE ? mChipIndex : 0];
}

uint32_t ChipIdentity::memory_access_class() const {
    return record().architecture->memory_access_class;
}

void ChipIdentity::describe() {
    const ChipRecord& chip = record();
    int used = mChipIndex == 0 ? std::snprintf(mText, TEXT_CAPACITY, "unknown chip")
                               : std::snprintf(mText, TEXT_CAPACITY, "%s (%s)",
                                               chip.name[0] != '\0' ? chip.name : "unnamed chip",
                                               chip.code_name);
    const auto append = [&](const char* label, uint16_t word, bool read) {
        if (used >= 0 && static_cast<size_t>(used) < TEXT_CAPACITY) {
            used +=
                read ? std::snprintf(mText + used, TEXT_CAPACITY - used, ", %s 0x%04X", label, word)
                     : std::snprintf(mText + used, TEXT_CAPACITY - used, ", %s not read", label);
        }
    };
    append("version word", mVersionWord, mVersionWord != NOT_READ);
    append("second word", mSecondWord, mSecondWord != NOT_READ);
    if (mSubIdGiven) {
        append("sub id", mSubId, true);
    }
}
