// CKeyWarder's lookups in the key database.
#include "support.h"

#include <cwchar>

namespace {

using keyward_test::ChipTest;

TEST(KeyDatabase, LooksUpKeysByNumber) {
    const pskey_entry* address = CKeyWarder::GetKeyDetails(0x0001);
    ASSERT_NE(address, nullptr);
    EXPECT_STREQ(address->identifier, L"PSKEY_BDADDR");
    EXPECT_EQ(address->structure, 12);
    EXPECT_EQ(CKeyWarder::StructureLen(address->structure), 4);
    EXPECT_NE(std::wcslen(address->label), 0u);
    EXPECT_EQ(CKeyWarder::GetKeyDetails(0xFF00), nullptr);
    EXPECT_EQ(CKeyWarder::GetKeyDetails(0), nullptr);
    EXPECT_NE(CKeyWarder::GetKeyDetails(0x264D), nullptr) << "the largest key number";
    EXPECT_EQ(CKeyWarder::GetKeyDetails(0x264E), nullptr);
    EXPECT_EQ(CKeyWarder::GetKeyDetails(0xFFFF), nullptr);
    EXPECT_EQ(CKeyWarder::GetKeyCount(), 1727u);
    EXPECT_EQ(CKeyWarder::GetKeyDetailsAt(1727), nullptr);
    for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
        const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
        EXPECT_EQ(CKeyWarder::GetKeyDetails(entry->key_number), entry);
    }
}

TEST(KeyDatabase, PresentationKeysOfABaseKeyInDatabaseOrder) {
    const pskey_entry* entries[2] = {};
    EXPECT_EQ(CKeyWarder::HasPresentationKeys(0x0191, entries, 2), 18);
    ASSERT_NE(entries[1], nullptr);
    EXPECT_STREQ(entries[0]->identifier, L"PSKEY_UART_BAUD_RATE");
    EXPECT_STREQ(entries[1]->identifier, L"PSKEY_UART_CONFIG");
    EXPECT_EQ(CKeyWarder::HasPresentationKeys(0x0191, nullptr, 0), 18);
    EXPECT_EQ(CKeyWarder::HasPresentationKeys(0x01F9, entries, 2), 0);
    EXPECT_EQ(CKeyWarder::HasPresentationKeys(0, entries, 2), 0)
        << "ordinary keys have base key 0 but are not presentation keys";
}

TEST(KeyDatabase, StructureLengthsAndEnumerations) {
    EXPECT_EQ(CKeyWarder::StructureLen(52), 4);
    EXPECT_EQ(CKeyWarder::StructureLen(53), 1);
    EXPECT_EQ(CKeyWarder::StructureLen(15), 200);
    EXPECT_EQ(CKeyWarder::StructureLen(42), -1);
    EXPECT_EQ(CKeyWarder::StructureLen(43), 2);

    const string_val_pair* list = CKeyWarder::get_enum_list(0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0].text, L"True");
    EXPECT_EQ(list[0].value, 1);
    EXPECT_STREQ(list[1].text, L"False");
    EXPECT_EQ(list[2].text, nullptr);
    const pskey_entry* host = CKeyWarder::GetKeyDetails(0x01F9);
    ASSERT_EQ(host->constraint, PSKEY_CONSTRAINT_ENUMERATION);
    EXPECT_STREQ(CKeyWarder::get_enum_list(host->minimum)[3].text, L"UART link running H4");
    EXPECT_EQ(CKeyWarder::get_enum_list(55), nullptr);
}

TEST(KeyDatabase, ShippedDatabaseHasNoDuplicateNumbers) {
    CKeyWarder keys;
    EXPECT_TRUE(keys.CheckValid());
}

TEST(KeyKnown, WithoutAKeyListTheDatabaseDecides) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CKeyWarder keys(&server);
    ASSERT_FALSE(server.keys_known());
    EXPECT_TRUE(keys.key_known(0x0205)) << "PSKEY_UART_CONFIG is assumed present";
    EXPECT_FALSE(keys.key_known(0x01BE)) << "PSKEY_UART_BAUDRATE is not";
    EXPECT_FALSE(keys.key_known(0xFF00));

    // A presentation key that is not assumed present follows its base key.
    for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
        const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
        if (entry->kind != PSKEY_KIND_PRESENTATION || entry->assumed_present == 1) {
            continue;
        }
        const pskey_entry* base = CKeyWarder::GetKeyDetails(entry->base_key);
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(keys.key_known(entry->key_number), base->assumed_present == 1)
            << entry->key_number;
    }
    CKeyWarder unbound;
    EXPECT_TRUE(unbound.key_known(0x0205));
}

class KeyKnownOnChip : public ChipTest {};

TEST_F(KeyKnownOnChip, WithAKeyListTheServerDecides) {
    chip->SetFirmwareKeys({{0x01BE, 0x01BE}, {0x0191, 0x0191}});
    Open();
    EXPECT_TRUE(keys.key_known(0x01BE));
    EXPECT_TRUE(keys.key_known(0x03FC)) << "through its base key 0x0191";
    EXPECT_TRUE(keys.key_known(0x0205));
    EXPECT_FALSE(keys.key_known(0x01F9)) << "assumed present does not count any more";
    EXPECT_FALSE(keys.key_known(0xFF00));
}

}  // namespace
