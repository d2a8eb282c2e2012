// The compiled-in PS key database against the facts known about it: its counts, its
// presentation keys and enumeration lists, and records checked field by field.
#include <keyward/psdb/psdb.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace {

using keyward::psdb::EnumList;
using keyward::psdb::kEntryCount;
using keyward::psdb::kEnumListCount;
using keyward::psdb::StructureLen;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::span<const pskey_entry> All() {
    return {keyward::psdb::Entries(), kEntryCount};
}

// Linear lookup in database order, as the library does it.
const pskey_entry* Find(uint16_t key) {
    for (const pskey_entry& e : All()) {
        if (e.key_number == key) {
            return &e;
        }
    }
    return nullptr;
}

// The record for `key`; fails the test when it is missing.
const pskey_entry& Get(uint16_t key) {
    const pskey_entry* e = Find(key);
    if (e == nullptr) {
        ADD_FAILURE() << "key " << key << " is missing";
        static const pskey_entry kEmpty{};
        return kEmpty;
    }
    return *e;
}

std::wstring Description(const pskey_entry& e) {
    std::wstring text;
    for (const wchar_t* const* part = e.description; part && *part; ++part) {
        text += *part;
    }
    return text;
}

template <typename Pred>
size_t CountIf(Pred pred) {
    size_t n = 0;
    for (const pskey_entry& e : All()) {
        n += pred(e) ? 1 : 0;
    }
    return n;
}

std::vector<uint16_t> PresentationKeysOf(uint16_t base) {
    std::vector<uint16_t> keys;
    for (const pskey_entry& e : All()) {
        if (e.base_key == base) {
            keys.push_back(e.key_number);
        }
    }
    return keys;
}

TEST(PsKeyDatabase, HoldsEveryKeyOnceInItsOwnOrder) {
    ASSERT_EQ(kEntryCount, 1727u);
    std::set<uint16_t> numbers;
    for (const pskey_entry& e : All()) {
        EXPECT_TRUE(numbers.insert(e.key_number).second) << "duplicate " << e.key_number;
        EXPECT_GE(e.key_number, 0x0001);
        EXPECT_LE(e.key_number, 0x264D);
    }
    EXPECT_EQ(numbers.size(), 1727u);
    EXPECT_EQ(All().front().key_number, 0x0001);
    EXPECT_EQ(All().back().key_number, 0x264D);
    EXPECT_EQ(Find(0x0000), nullptr);
    EXPECT_EQ(Find(0xFF00), nullptr) << "reserved for deleting in command streams";

    // Database order is not key order: 0x03DC comes before 0x03CD.
    const auto at = [](uint16_t key) { return Find(key) - All().data(); };
    EXPECT_LT(at(0x03DC), at(0x03CD));
}

TEST(PsKeyDatabase, CountsByConstraintKindAndPresence) {
    std::map<int32_t, size_t> by_constraint;
    for (const pskey_entry& e : All()) {
        ++by_constraint[e.constraint];
    }
    EXPECT_THAT(by_constraint, ElementsAre(std::pair<const int32_t, size_t>{0, 1286},
                                           std::pair<const int32_t, size_t>{1, 227},
                                           std::pair<const int32_t, size_t>{2, 5},
                                           std::pair<const int32_t, size_t>{3, 11},
                                           std::pair<const int32_t, size_t>{4, 198}));
    EXPECT_EQ(CountIf([](auto& e) { return e.assumed_present == 1; }), 481u);
    EXPECT_EQ(CountIf([](auto& e) { return e.assumed_present != 0 && e.assumed_present != 1; }),
              0u);
    EXPECT_EQ(CountIf([](auto& e) { return e.kind == PSKEY_KIND_PRESENTATION; }), 43u);
    EXPECT_EQ(CountIf([](auto& e) { return e.kind == PSKEY_KIND_ORDINARY; }), 1727u - 43u);
}

TEST(PsKeyDatabase, CountsByStructure) {
    // Keys per structure code 0 to 52.
    // clang-format off
    constexpr std::array<size_t, 53> kExpected = {
        1,  2,   2,   1,  1, 1,  24, 16, 36, 8,   // 0-9
        1,  1,   1,   1,  178, 12, 7, 1,  1,  6,  // 10-19
        1,  3,   1,   1,  1, 26, 12, 1,  7,  1,   // 20-29
        1,  2,   1,   18, 3, 1,  2,  1,  1,  15,  // 30-39
        1,  496, 654, 40, 8, 80, 17, 20, 7,  1,   // 40-49
        1,  1,   1,                               // 50-52
    };
    // clang-format on
    std::array<size_t, 53> counts{};
    for (const pskey_entry& e : All()) {
        ASSERT_GE(e.structure, 0);
        ASSERT_LE(e.structure, 52);
        ++counts[static_cast<size_t>(e.structure)];
    }
    EXPECT_EQ(counts, kExpected);
    EXPECT_EQ(counts[41], 496u);
    EXPECT_EQ(counts[42], 654u);
    EXPECT_EQ(counts[43], 40u);
    EXPECT_EQ(counts[14], 178u);

    for (uint16_t key = 0x00DC; key <= 0x00ED; ++key) {
        EXPECT_EQ(Get(key).structure, 33) << "local name piece " << key;
    }
    for (uint16_t key = 0x028A; key <= 0x02BB; ++key) {
        EXPECT_EQ(Get(key).structure, 42) << "user key " << key;
    }
    EXPECT_EQ(Get(0x01EA).structure, 43);
}

TEST(PsKeyDatabase, AuxFlagOnlyOnTheTwoUartBitRates) {
    std::vector<std::wstring> flagged;
    for (const pskey_entry& e : All()) {
        EXPECT_TRUE(e.aux_flag == 0 || e.aux_flag == 1);
        if (e.aux_flag == 1) {
            flagged.push_back(e.identifier);
        }
    }
    EXPECT_THAT(flagged, ElementsAre(L"PSKEY_UART_BITRATE", L"PSKEY_COEX_UART_BITRATE"));
    EXPECT_EQ(Get(0x01EA).aux_flag, 1);
    EXPECT_EQ(Get(0x248F).aux_flag, 1);
}

TEST(PsKeyDatabase, BoundsAreConsistent) {
    std::set<int32_t> negative_minimums;
    std::vector<uint16_t> all_ones;
    for (const pskey_entry& e : All()) {
        switch (e.constraint) {
            case PSKEY_CONSTRAINT_NONE:
                EXPECT_EQ(e.minimum, 0);
                EXPECT_EQ(e.maximum, 0u);
                break;
            case PSKEY_CONSTRAINT_RANGE:
                if (e.minimum < 0) {
                    EXPECT_LE(e.minimum, static_cast<int32_t>(e.maximum)) << e.key_number;
                } else {
                    EXPECT_LE(static_cast<uint32_t>(e.minimum), e.maximum) << e.key_number;
                }
                break;
            case PSKEY_CONSTRAINT_MINIMUM:
                EXPECT_EQ(e.maximum, 0u);
                break;
            case PSKEY_CONSTRAINT_MAXIMUM:
                EXPECT_EQ(e.minimum, 0);
                break;
            case PSKEY_CONSTRAINT_ENUMERATION:
                EXPECT_GE(e.minimum, 0);
                EXPECT_LT(e.minimum, kEnumListCount);
                EXPECT_EQ(e.maximum, 0u);
                break;
            default:
                ADD_FAILURE() << "constraint " << e.constraint << " on " << e.key_number;
        }
        if (e.constraint != PSKEY_CONSTRAINT_ENUMERATION && e.minimum < 0) {
            negative_minimums.insert(e.minimum);
            EXPECT_TRUE(e.structure == 25 || e.structure == 27 || e.structure == 28)
                << "negative minimum on key " << e.key_number << ", structure " << e.structure;
        }
        if (e.maximum == 0xFFFFFFFFu) {
            all_ones.push_back(e.key_number);
            EXPECT_TRUE(e.structure == 8 || e.structure == 43) << e.key_number;
        }
    }
    EXPECT_THAT(negative_minimums, ElementsAre(-1250, -128, -126, -16, -8));
    EXPECT_EQ(all_ones.size(), 5u);
}

TEST(PsKeyDatabase, PresentationKeysMatchTheirTable) {
    struct Row {
        uint16_t key;
        const wchar_t* identifier;
        uint16_t base;
        uint16_t offset;
        uint16_t width;
        int32_t structure;
        int32_t list;  // -1: no enumeration
    };
    // In database order.
    constexpr Row kRows[] = {
        {0x0204, L"PSKEY_UART_BAUD_RATE", 0x0191, 0, 16, 41, 4},
        {0x0205, L"PSKEY_UART_CONFIG", 0x0191, 16, 16, 41, -1},
        {0x03F2, L"PSKEY_USB_ATTRIBUTES_POWER", 0x02C5, 6, 1, 14, 1},
        {0x03F3, L"PSKEY_USB_ATTRIBUTES_WAKEUP", 0x02C5, 5, 1, 14, 2},
        {0x03F4, L"PSKEY_DFU_ATTRIBUTES_MANIFESTATION_TOLERANT", 0x0136, 2, 1, 14, 2},
        {0x03F5, L"PSKEY_DFU_ATTRIBUTES_CAN_UPLOAD", 0x0136, 1, 1, 14, 2},
        {0x03F6, L"PSKEY_DFU_ATTRIBUTES_CAN_DOWNLOAD", 0x0136, 0, 1, 14, 2},
        {0x03FC, L"PSKEY_UART_CONFIG_STOP_BITS", 0x0191, 16, 1, 14, 17},
        {0x03FD, L"PSKEY_UART_CONFIG_PARITY_BIT", 0x0191, 17, 2, 41, 18},
        {0x03FE, L"PSKEY_UART_CONFIG_FLOW_CTRL_EN", 0x0191, 19, 1, 14, 2},
        {0x03FF, L"PSKEY_UART_CONFIG_RTS_AUTO_EN", 0x0191, 20, 1, 14, 0},
        {0x0400, L"PSKEY_UART_CONFIG_RTS", 0x0191, 21, 1, 14, 0},
        {0x0401, L"PSKEY_UART_CONFIG_TX_ZERO_EN", 0x0191, 22, 1, 14, 2},
        {0x0402, L"PSKEY_UART_CONFIG_NON_KVSP_EN", 0x0191, 23, 1, 14, 3},
        {0x0403, L"PSKEY_UART_CONFIG_RX_RATE_DELAY", 0x0191, 24, 3, 41, -1},
        {0x0405, L"PSKEY_UART_SEQ_TIMEOUT", 0x0191, 32, 16, 41, -1},
        {0x0406, L"PSKEY_UART_SEQ_RETRIES", 0x0191, 48, 16, 41, -1},
        {0x0407, L"PSKEY_UART_SEQ_WINSIZE", 0x0191, 64, 16, 41, -1},
        {0x0408, L"PSKEY_UART_USE_CRC_ON_TX", 0x0191, 80, 16, 14, 2},
        {0x0409, L"PSKEY_UART_HOST_INITIAL_STATE", 0x0191, 96, 16, 24, 19},
        {0x040A, L"PSKEY_UART_HOST_ATTENTION_SPAN", 0x0191, 112, 16, 41, -1},
        {0x040B, L"PSKEY_UART_HOST_WAKEUP_TIME", 0x0191, 128, 16, 41, -1},
        {0x040C, L"PSKEY_UART_HOST_WAKEUP_WAIT", 0x0191, 144, 16, 41, -1},
        {0x0410, L"PSKEY_KVSP_LM_MODE", 0x0192, 0, 16, 41, 20},
        {0x0411, L"PSKEY_KVSP_LM_SYNC_RETRIES", 0x0192, 16, 16, 41, -1},
        {0x0412, L"PSKEY_KVSP_LM_TSHY", 0x0192, 32, 16, 41, -1},
        {0x0413, L"PSKEY_DFUENC_USAGE_STACK", 0x0165, 0, 1, 41, 2},
        {0x0414, L"PSKEY_DFUENC_USAGE_APPLICATION", 0x0165, 1, 1, 41, 2},
        {0x0415, L"PSKEY_DFUENC_USAGE_STACK_PS", 0x0165, 2, 1, 41, 2},
        {0x0416, L"PSKEY_DFUENC_USAGE_APPLICATION_PS", 0x0165, 3, 1, 41, 2},
        {0x0417, L"PSKEY_UART_DFU_CONFIG_STOP_BITS", 0x01AF, 0, 1, 14, 17},
        {0x0418, L"PSKEY_UART_DFU_CONFIG_PARITY_BIT", 0x01AF, 1, 2, 41, 18},
        {0x0419, L"PSKEY_UART_DFU_CONFIG_FLOW_CTRL_EN", 0x01AF, 3, 1, 14, 2},
        {0x041A, L"PSKEY_UART_DFU_CONFIG_RTS_AUTO_EN", 0x01AF, 4, 1, 14, 0},
        {0x041B, L"PSKEY_UART_DFU_CONFIG_RTS", 0x01AF, 5, 1, 14, 0},
        {0x041C, L"PSKEY_UART_DFU_CONFIG_TX_ZERO_EN", 0x01AF, 6, 1, 14, 2},
        {0x041D, L"PSKEY_UART_DFU_CONFIG_NON_KVSP_EN", 0x01AF, 7, 1, 14, 2},
        {0x041E, L"PSKEY_UART_DFU_CONFIG_RX_RATE_DELAY", 0x01AF, 8, 2, 41, -1},
        {0x041F, L"PSKEY_AMUX_AIO0", 0x022B, 0, 8, 41, -1},
        {0x0420, L"PSKEY_AMUX_AIO1", 0x022B, 8, 8, 41, -1},
        {0x0421, L"PSKEY_AMUX_AIO2", 0x022C, 0, 8, 41, -1},
        {0x0422, L"PSKEY_AMUX_AIO3", 0x022C, 8, 8, 41, -1},
        {0x0423, L"PSKEY_LOCAL_NAME_SIMPLIFIED", 0x00DC, 0, 0, 32, -1},
    };
    std::vector<const pskey_entry*> presentation;
    for (const pskey_entry& e : All()) {
        if (e.kind == PSKEY_KIND_PRESENTATION) {
            presentation.push_back(&e);
            EXPECT_NE(e.base_key, 0) << e.key_number;
            const pskey_entry* base = Find(e.base_key);
            ASSERT_NE(base, nullptr) << e.key_number;
            EXPECT_EQ(base->kind, PSKEY_KIND_ORDINARY) << e.key_number;
        } else {
            EXPECT_EQ(e.kind, PSKEY_KIND_ORDINARY) << e.key_number;
            EXPECT_EQ(e.base_key, 0) << e.key_number;
            EXPECT_EQ(e.bit_offset, 0) << e.key_number;
            EXPECT_EQ(e.bit_width, 0) << e.key_number;
        }
    }
    ASSERT_EQ(presentation.size(), std::size(kRows));
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const Row& row = kRows[i];
        const pskey_entry& e = *presentation[i];
        SCOPED_TRACE(row.identifier);
        EXPECT_EQ(e.key_number, row.key);
        EXPECT_STREQ(e.identifier, row.identifier);
        EXPECT_EQ(e.base_key, row.base);
        EXPECT_EQ(e.bit_offset, row.offset);
        EXPECT_EQ(e.bit_width, row.width);
        EXPECT_EQ(e.structure, row.structure);
        if (row.list >= 0) {
            EXPECT_EQ(e.constraint, PSKEY_CONSTRAINT_ENUMERATION);
            EXPECT_EQ(e.minimum, row.list);
        } else {
            EXPECT_NE(e.constraint, PSKEY_CONSTRAINT_ENUMERATION);
        }
        // A field never crosses a word boundary, so one word holds all of it.
        EXPECT_LE(e.bit_offset % 16 + e.bit_width, 16);
    }

    const std::vector<uint16_t> uart = PresentationKeysOf(0x0191);
    ASSERT_EQ(uart.size(), 18u);
    EXPECT_EQ(uart[0], 0x0204);
    EXPECT_STREQ(Get(uart[0]).identifier, L"PSKEY_UART_BAUD_RATE");
    EXPECT_EQ(uart[1], 0x0205);
    EXPECT_STREQ(Get(uart[1]).identifier, L"PSKEY_UART_CONFIG");

    const pskey_entry& simplified = Get(0x0423);
    EXPECT_EQ(simplified.base_key, 0x00DC);
    EXPECT_STREQ(Get(0x00DC).identifier, L"PSKEY_LOCAL_NAME0");
    EXPECT_EQ(simplified.bit_offset, 0);
    EXPECT_EQ(simplified.bit_width, 0);
}

TEST(PsKeyDatabase, KeysKnownWithoutAKeyList) {
    const pskey_entry& config = Get(0x0205);
    EXPECT_STREQ(config.identifier, L"PSKEY_UART_CONFIG");
    EXPECT_EQ(config.assumed_present, 1);
    EXPECT_EQ(config.base_key, 0x0191);

    const pskey_entry& baudrate = Get(0x01BE);
    EXPECT_STREQ(baudrate.identifier, L"PSKEY_UART_BAUDRATE");
    EXPECT_EQ(baudrate.assumed_present, 0);
    EXPECT_EQ(baudrate.base_key, 0);
}

TEST(PsKeyDatabase, StructureLengths) {
    const std::map<int, std::vector<int>> kByLength = {
        {1, {14, 16, 17, 18, 19, 20, 22, 24, 25, 26, 28, 29, 30, 32, 33, 34, 35, 41, 45, 51}},
        {2, {7, 8, 10, 13, 27, 37, 40, 43}},
        {3, {0, 31, 38, 48}},
        {4, {3, 12, 52}},
        {5, {6, 11}},
        {8, {47}},
        {10, {4}},
        {200, {15}},
        {-1, {1, 2, 5, 9, 21, 23, 36, 39, 42, 44, 46, 49, 50}},
    };
    std::set<int> seen;
    for (const auto& [length, codes] : kByLength) {
        for (int code : codes) {
            EXPECT_EQ(StructureLen(code), length) << "structure " << code;
            seen.insert(code);
        }
    }
    EXPECT_EQ(seen.size(), 53u) << "every code from 0 to 52 is in the table";
    EXPECT_EQ(StructureLen(52), 4);
    EXPECT_EQ(StructureLen(53), 1);
    EXPECT_EQ(StructureLen(15), 200);
    EXPECT_EQ(StructureLen(1000), 1);
    EXPECT_EQ(StructureLen(-1), 1);

    EXPECT_EQ(StructureLen(Get(0x0001).structure), 4) << "the device address";
}

TEST(PsKeyDatabase, IdentifiersAreStoredAsGiven) {
    std::set<std::wstring> with_blank;
    std::set<std::wstring> identifiers;
    for (const pskey_entry& e : All()) {
        const std::wstring id = e.identifier;
        EXPECT_EQ(id.rfind(L"PSKEY_", 0), 0u) << e.key_number;
        EXPECT_TRUE(identifiers.insert(id).second) << "duplicate identifier " << e.key_number;
        if (!id.empty() && id.back() == L' ') {
            EXPECT_NE(id[id.size() - 2], L' ') << "one trailing blank only";
            with_blank.insert(id);
        }
        EXPECT_EQ(id.find(L' '), id.find_last_of(L' ')) << "no blank inside " << e.key_number;
    }
    EXPECT_THAT(with_blank, ElementsAre(L"PSKEY_AUDIO_DECOUPLE_CAP ", L"PSKEY_CHARGER_CALC_RTRIM ",
                                        L"PSKEY_CHARGER_CALC_VTERM ", L"PSKEY_ENHANCED_MPU_ENABLE ",
                                        L"PSKEY_HOST_TX_SIGNAL_MODE ", L"PSKEY_HOST_TX_SIGNAL_PIO ",
                                        L"PSKEY_USB_FORCE_ENABLE_HARDWARE "));
}

TEST(PsKeyDatabase, EnumerationLists) {
    EXPECT_EQ(EnumList(-1), nullptr);
    EXPECT_EQ(EnumList(kEnumListCount), nullptr);
    ASSERT_EQ(kEnumListCount, 55);

    // Enumerators in each list 0 to 54.
    // clang-format off
    constexpr std::array<size_t, 55> kSizes = {
        2, 2, 2, 2, 9, 12, 4, 4, 9,  4,   // 0-9
        4, 6, 2, 2, 2, 2,  3, 2, 3,  5,   // 10-19
        3, 4, 2, 8, 5, 6,  2, 2, 2,  3,   // 20-29
        3, 2, 18, 3, 2, 4, 3, 17, 14, 3,  // 30-39
        3, 12, 4, 4, 3, 3, 3, 3, 2,  4,   // 40-49
        2, 3, 3, 2, 2,                    // 50-54
    };
    // clang-format on
    for (int i = 0; i < kEnumListCount; ++i) {
        const string_val_pair* list = EnumList(i);
        ASSERT_NE(list, nullptr) << "list " << i;
        size_t n = 0;
        while (list[n].text != nullptr) {
            EXPECT_NE(list[n].text[0], L'\0') << "list " << i;
            ++n;
        }
        EXPECT_EQ(n, kSizes[static_cast<size_t>(i)]) << "list " << i;
    }

    EXPECT_STREQ(EnumList(0)[0].text, L"True");
    EXPECT_EQ(EnumList(0)[0].value, 1);
    EXPECT_STREQ(EnumList(0)[1].text, L"False");
    EXPECT_EQ(EnumList(0)[1].value, 0);
    EXPECT_STREQ(EnumList(4)[0].text, L"9.6 kbaud");
    EXPECT_EQ(EnumList(4)[0].value, 39);
    EXPECT_STREQ(EnumList(5)[11].text, L"3686.4 kbaud");
    EXPECT_EQ(EnumList(5)[11].value, 15099);
    EXPECT_EQ(EnumList(18)[2].value, 3) << "even parity";
    EXPECT_STREQ(EnumList(32)[16].text, L"Use AUX_DAC pin");
    EXPECT_EQ(EnumList(32)[16].value, 255);
    EXPECT_STREQ(EnumList(43)[0].text, L"No SRAM");
    EXPECT_EQ(EnumList(43)[0].value, 65535);
    EXPECT_STREQ(EnumList(44)[0].text, L"Dedicated slow clock input pin ");
    EXPECT_EQ(EnumList(44)[0].value, 0);
    EXPECT_STREQ(EnumList(46)[2].text, L"VM control ");
    EXPECT_EQ(EnumList(46)[2].value, 2);
    EXPECT_STREQ(EnumList(54)[1].text, L"VM DSP Manager interface (1)");
}

TEST(PsKeyDatabase, EnumerationListUse) {
    std::map<int32_t, std::vector<std::wstring>> users;
    for (const pskey_entry& e : All()) {
        if (e.constraint == PSKEY_CONSTRAINT_ENUMERATION) {
            users[e.minimum].push_back(e.identifier);
        }
    }
    EXPECT_EQ(users[0].size(), 107u);
    EXPECT_EQ(users[2].size(), 31u);
    EXPECT_EQ(users[40].size(), 6u);
    for (int unused : {10, 12, 13, 14, 15}) {
        EXPECT_TRUE(users[unused].empty()) << "list " << unused;
    }
    for (int i = 0; i < kEnumListCount; ++i) {
        if (i < 10 || i > 15 || i == 11) {
            EXPECT_FALSE(users[i].empty()) << "list " << i;
        }
    }
    EXPECT_THAT(users[23], ElementsAre(L"PSKEY_PCM_MIN_CPU_CLOCK", L"PSKEY_CODEC_MIN_CPU_CLOCK",
                                       L"PSKEY_MIN_CPU_CLOCK"));
    EXPECT_THAT(users[17],
                ElementsAre(L"PSKEY_UART_CONFIG_STOP_BITS", L"PSKEY_UART_DFU_CONFIG_STOP_BITS"));
    EXPECT_THAT(users[5], ElementsAre(L"PSKEY_UART_BAUDRATE"));
    EXPECT_THAT(users[6], ElementsAre(L"PSKEY_HOST_TX_SIGNAL_MODE "));
}

TEST(PsKeyDatabase, WholeRecords) {
    const pskey_entry& bdaddr = Get(0x0001);
    EXPECT_EQ(bdaddr.kind, PSKEY_KIND_ORDINARY);
    EXPECT_STREQ(bdaddr.identifier, L"PSKEY_BDADDR");
    EXPECT_STREQ(bdaddr.label, L"Device address");
    EXPECT_EQ(bdaddr.structure, 12);
    EXPECT_EQ(bdaddr.aux_flag, 0);
    EXPECT_EQ(bdaddr.base_key, 0);
    EXPECT_EQ(bdaddr.constraint, PSKEY_CONSTRAINT_NONE);
    EXPECT_EQ(bdaddr.minimum, 0);
    EXPECT_EQ(bdaddr.maximum, 0u);
    EXPECT_EQ(bdaddr.assumed_present, 1);

    const pskey_entry& country = Get(0x0002);
    EXPECT_STREQ(country.identifier, L"PSKEY_COUNTRYCODE");
    EXPECT_EQ(country.structure, 41);
    EXPECT_EQ(country.constraint, PSKEY_CONSTRAINT_ENUMERATION);
    EXPECT_EQ(country.minimum, 7);
    EXPECT_EQ(country.assumed_present, 1);

    const pskey_entry& stop_bits = Get(0x03FC);
    EXPECT_EQ(stop_bits.kind, PSKEY_KIND_PRESENTATION);
    EXPECT_STREQ(stop_bits.identifier, L"PSKEY_UART_CONFIG_STOP_BITS");
    EXPECT_EQ(stop_bits.structure, 14);
    EXPECT_EQ(stop_bits.aux_flag, 0);
    EXPECT_EQ(stop_bits.base_key, 0x0191);
    EXPECT_EQ(stop_bits.bit_offset, 16);
    EXPECT_EQ(stop_bits.bit_width, 1);
    EXPECT_EQ(stop_bits.constraint, PSKEY_CONSTRAINT_ENUMERATION);
    EXPECT_EQ(stop_bits.minimum, 17);
    EXPECT_EQ(stop_bits.maximum, 0u);
    EXPECT_EQ(stop_bits.assumed_present, 1);

    const pskey_entry& bitrate = Get(0x01EA);
    EXPECT_EQ(bitrate.kind, PSKEY_KIND_ORDINARY);
    EXPECT_STREQ(bitrate.identifier, L"PSKEY_UART_BITRATE");
    EXPECT_EQ(bitrate.structure, 43);
    EXPECT_EQ(bitrate.aux_flag, 1);
    EXPECT_EQ(bitrate.assumed_present, 0);

    const pskey_entry& signal = Get(0x2433);
    EXPECT_STREQ(signal.identifier, L"PSKEY_HOST_TX_SIGNAL_MODE ");
    EXPECT_STREQ(signal.label, L"Host TX signal mode") << "labels carry no trailing blank";
    EXPECT_EQ(signal.structure, 41);
    EXPECT_EQ(signal.constraint, PSKEY_CONSTRAINT_ENUMERATION);
    EXPECT_EQ(signal.minimum, 6);
    EXPECT_EQ(signal.assumed_present, 0);

    const pskey_entry& last = Get(0x264D);
    EXPECT_STREQ(last.identifier, L"PSKEY_SMPS_POLICY");
    EXPECT_EQ(last.structure, 41);
    EXPECT_EQ(last.minimum, 52);
}

TEST(PsKeyDatabase, EveryKeyHasALabelAndADescription) {
    for (const pskey_entry& e : All()) {
        SCOPED_TRACE(e.identifier);
        ASSERT_NE(e.label, nullptr);
        const std::wstring label = e.label;
        EXPECT_FALSE(label.empty());
        EXPECT_NE(label.front(), L' ');
        EXPECT_NE(label.back(), L' ');
        EXPECT_LE(label.size(), 60u) << "labels go into messages of at most 100 characters";

        ASSERT_NE(e.description, nullptr);
        size_t parts = 0;
        for (const wchar_t* const* part = e.description; *part; ++part) {
            EXPECT_NE((*part)[0], L'\0');
            ++parts;
        }
        EXPECT_GE(parts, 2u) << "what the key is and the shape of its value";
    }
}

TEST(PsKeyDatabase, LabelsAndDescriptionsSayWhatTheKeyHolds) {
    EXPECT_STREQ(Get(0x0204).label, L"UART baud rate");
    EXPECT_STREQ(Get(0x00DC).label, L"Local name 0");
    EXPECT_STREQ(Get(0x028A).label, L"User key 0");
    EXPECT_STREQ(Get(0x0191).label, L"Host I/O UART PS block");

    const std::wstring baud = Description(Get(0x0204));
    EXPECT_THAT(baud, HasSubstr(L"PSKEY_UART_BAUD_RATE"));
    EXPECT_THAT(baud, HasSubstr(L"a single 16-bit word"));
    EXPECT_THAT(baud, HasSubstr(L"39 = 9.6 kbaud"));
    EXPECT_THAT(baud, HasSubstr(L"bits 0 to 15 of word 0"));
    EXPECT_THAT(baud, HasSubstr(L"PSKEY_HOSTIO_UART_PS_BLOCK (0x0191)"));

    EXPECT_THAT(Description(Get(0x03FC)), HasSubstr(L"bit 0 of word 1 (bit offset 16, width 1)"));
    EXPECT_THAT(Description(Get(0x01EA)),
                HasSubstr(L"an unsigned 32-bit value held in two words, most significant word "
                          L"first"));
    EXPECT_THAT(Description(Get(0x028A)), HasSubstr(L"a variable-length array of 16-bit words"));
    EXPECT_THAT(Description(Get(0x0191)), HasSubstr(L"PSKEY_UART_HOST_WAKEUP_WAIT (0x040C"));
    EXPECT_THAT(Description(Get(0x0423)), HasSubstr(L"no fixed width"));
    EXPECT_THAT(Description(Get(0x0001)), HasSubstr(L"assumed to be present"));
    EXPECT_THAT(Description(Get(0x01BE)), Not(HasSubstr(L"assumed to be present")));
}

}  // namespace
