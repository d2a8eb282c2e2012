// Chip identification: the catalogue and the identity worked out from identification words.
#include "support.h"

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

uint32_t IndexOf(const char* name) {
    for (size_t i = 0; i < CHIP_CATALOGUE_SIZE; ++i) {
        if (std::strcmp(ChipCatalogue()[i].name, name) == 0) {
            return static_cast<uint32_t>(i);
        }
    }
    return 0;
}

TEST(ChipCatalogue, RecordsAreNumberedAndCoverEveryMemoryAccessClass) {
    const ChipRecord* records = ChipCatalogue();
    std::set<uint32_t> classes;
    std::map<uint32_t, int> perId;
    for (size_t i = 0; i < CHIP_CATALOGUE_SIZE; ++i) {
        EXPECT_EQ(records[i].chip_index, i);
        ASSERT_NE(records[i].architecture, nullptr) << i;
        ASSERT_NE(records[i].memory_map, nullptr) << i;
        ASSERT_NE(records[i].name, nullptr) << i;
        ASSERT_NE(records[i].code_name, nullptr) << i;
        EXPECT_LE(records[i].architecture->architecture_class, 5u);
        EXPECT_LE(records[i].flags, 2u);
        if (i > 0) {
            EXPECT_NE(records[i].chip_id, 0u) << i;
            classes.insert(records[i].architecture->memory_access_class);
            ++perId[records[i].chip_id];
        }
    }
    EXPECT_EQ(records[0].chip_id, 0u);
    EXPECT_EQ(classes, (std::set<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_NE(IndexOf("MVT4120"), 0u);

    // Exactly three chip ids are shared: two pairs told apart by sub id, and the pair around
    // record 30 without sub ids.
    std::set<uint32_t> shared;
    for (const auto& [id, count] : perId) {
        if (count > 1) {
            EXPECT_EQ(count, 2) << id;
            shared.insert(id);
        }
    }
    EXPECT_EQ(shared.size(), 3u);
    EXPECT_EQ(records[30].chip_id, records[31].chip_id);
    EXPECT_EQ(records[30].sub_id, 0u);
    EXPECT_EQ(records[31].sub_id, 0u);
    EXPECT_EQ(shared.count(records[30].chip_id), 1u);
}

TEST(ChipIdentity, ANewIdentityIsNotIdentified) {
    ChipIdentity identity;
    EXPECT_EQ(identity.version_word(), 0xFF);
    EXPECT_EQ(identity.second_word(), 0xFF);
    EXPECT_EQ(identity.chip_index(), 0u);
    EXPECT_FALSE(identity.sub_id_given());
    EXPECT_FALSE(identity.forced());
    EXPECT_FALSE(identity.is_identified());
    EXPECT_FALSE(identity.is_identified(true)) << "the version word was not read";
    EXPECT_EQ(identity.memory_access_class(), CHIP_MEMORY_SEARCH);
    EXPECT_STREQ(identity.text(), "unknown chip, version word not read, second word not read");

    identity.set_forced(true);
    EXPECT_TRUE(identity.is_identified());
}

TEST(ChipIdentity, TheVersionWordGivesTheIdInBits8To12) {
    ChipIdentity identity;
    identity.identify_from_version(0x0400);  // id 4
    EXPECT_EQ(identity.chip_index(), 4u);
    EXPECT_STREQ(identity.record().name, "MVT1010");
    EXPECT_EQ(identity.memory_access_class(), CHIP_MEMORY_FIXED);
    EXPECT_TRUE(identity.has_version_id());
    EXPECT_TRUE(identity.is_identified()) << "a version id needs no second word";

    // Another id replaces the match; an id of 0 changes nothing.
    identity.identify_from_version(0x0F00);
    EXPECT_STREQ(identity.record().name, "MVT2110");
    identity.identify_from_version(0x00AB);
    EXPECT_STREQ(identity.record().name, "MVT2110");
    EXPECT_FALSE(identity.has_version_id());
    EXPECT_FALSE(identity.is_identified()) << "no version id and no second word";
    EXPECT_TRUE(identity.is_identified(true)) << "but the chip is readable";

    ChipIdentity unknown;
    unknown.identify_from_second(0x00EE);
    EXPECT_EQ(unknown.chip_index(), 0u);
    unknown.identify_from_version(0x0100);
    unknown.identify_from_second(0x00EF);
    EXPECT_EQ(unknown.chip_index(), 0u) << "a second word without a match clears it";
    EXPECT_TRUE(unknown.is_identified(true));
    EXPECT_FALSE(unknown.is_identified());
}

TEST(ChipIdentity, BothWords) {
    ChipIdentity mvt4120;
    mvt4120.identify_from_words(0x0040, 0x0022);
    EXPECT_STREQ(mvt4120.record().name, "MVT4120");
    EXPECT_EQ(mvt4120.memory_access_class(), CHIP_MEMORY_POINTER);
    EXPECT_TRUE(mvt4120.is_identified());
    EXPECT_STREQ(mvt4120.text(), "MVT4120 (warbler), version word 0x0040, second word 0x0022");

    // A second word whose low byte is 0 keeps the version word's match.
    ChipIdentity kept;
    kept.identify_from_words(0x0500, 0x1200);
    EXPECT_STREQ(kept.record().name, "MVT1012");
    EXPECT_EQ(kept.second_word(), 0x1200);
    EXPECT_TRUE(kept.is_identified());

    // The second word alone leaves the version word unread: not identified.
    ChipIdentity second;
    second.identify_from_second(0x0022);
    EXPECT_STREQ(second.record().name, "MVT4120");
    EXPECT_FALSE(second.is_identified());
}

TEST(ChipIdentity, ARecordWithASubIdNeedsTheSubId) {
    ChipIdentity alone;
    alone.identify_from_version(0x0C00);
    EXPECT_EQ(alone.chip_index(), 12u) << "the first record of the id";
    EXPECT_FALSE(alone.is_identified());
    alone.identify_from_words(0x0C00, 0x0100);
    EXPECT_FALSE(alone.is_identified()) << "a second word is no sub id";

    ChipIdentity given;
    given.identify_from_version_and_sub_id(0x0C00, 0x0302);  // only the low byte counts
    EXPECT_EQ(given.chip_index(), 13u);
    EXPECT_TRUE(given.sub_id_given());
    EXPECT_EQ(given.sub_id(), 0x0302);
    EXPECT_TRUE(given.is_identified());
    EXPECT_STREQ(given.text(),
                 "MVT2021 (lapwing), version word 0x0C00, second word not read, sub id 0x0302");

    ChipIdentity wrong;
    wrong.identify_from_version_and_sub_id(0x1100, 2);
    EXPECT_EQ(wrong.chip_index(), 0u) << "no record of id 0x11 has sub id 2";

    // The version word alone clears a sub id given before.
    given.identify_from_version(0x0C00);
    EXPECT_FALSE(given.sub_id_given());
    EXPECT_FALSE(given.is_identified());
}

TEST(ChipIdentity, Record30IsPassedOverForNewerSilicon) {
    for (uint16_t high : {0x13, 0x33}) {
        ChipIdentity older;
        older.identify_from_version(static_cast<uint16_t>(high << 8));
        EXPECT_EQ(older.chip_index(), 30u) << high;
    }
    for (uint16_t high : {0x53, 0x73, 0xF3}) {
        ChipIdentity newer;
        newer.identify_from_version(static_cast<uint16_t>(high << 8));
        EXPECT_EQ(newer.chip_index(), 31u) << high;
        EXPECT_TRUE(newer.is_identified());
    }
    // Through the second word the rule looks at the second word's high byte.
    ChipIdentity second;
    second.identify_from_words(0x0000, 0x4113);
    EXPECT_EQ(second.chip_index(), 31u);
    second.identify_from_words(0x0000, 0x4013);
    EXPECT_EQ(second.chip_index(), 30u);
}

TEST(ChipIdentity, FirmwareIdIsPassedThroughUnchanged) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetFirmwareId(4120, L"Plus firmware 3.1");
    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CKeyWarder keys(&server);
    ASSERT_TRUE(server.open());
    int id = 0;
    uint16_t name[8] = {};
    ASSERT_TRUE(keys.GetFirmwareId(&id, name, 8));
    EXPECT_EQ(id, 4120);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"Plus fi");
}

}  // namespace
