// Power tables: packing and unpacking the three setting formats, editing and sorting tables,
// and reading and writing them through CKeyWarder.
#include "support.h"

namespace {

using keyward_test::ChipTest;
using kvcmdsim::STORE_IMPLEMENTATION;
using Words = std::vector<uint16_t>;

constexpr uint16_t kPowerTable = 0x001E;          // PSKEY_LC_POWER_TABLE
constexpr uint16_t kEnhancedPowerTable = 0x0031;  // PSKEY_LC_ENHANCED_POWER_TABLE
constexpr uint16_t kPowerTableV0 = 0x241A;        // PSKEY_BT_POWER_TABLE_V0

CPowerSetting Basic(uint8_t internal, uint8_t external, int8_t dbm) {
    CPowerSetting s;
    s.internal_pa = internal;
    s.external_pa = external;
    s.tx_dbm = dbm;
    return s;
}

template <class Setting>
Words Pack(const Setting& setting) {
    Words words(Setting::RAW_WORDS);
    setting.toRaw(words.data());
    return words;
}

TEST(PowerSetting, BasicSettingPacksIntoTwoWords) {
    const CPowerSetting s = Basic(13, 17, -8);
    EXPECT_EQ(Pack(s), (Words{0x0D11, 0xF800}));
    EXPECT_EQ(s.asUint32(), 0x0D11F800u);

    CPowerSetting back;
    back.getFromUint32(0x0D11F8FFu);  // the lowest byte is ignored
    EXPECT_EQ(back, s);
    back.fromRaw(Words{0x7F00, 0x7F00}.data());
    EXPECT_EQ(back, Basic(127, 0, 127));
}

TEST(PowerSetting, V0SettingUnpacksAndPacksBack) {
    const Words raw{0x0D12, 0x0000, 0x3F12, 0x0000, 0xF800};
    CBluetoothPowerTableV0Setting s;
    s.fromRaw(raw.data());
    EXPECT_EQ(s.internal_pa, 13);
    EXPECT_EQ(s.mixer_level, 1);
    EXPECT_EQ(s.mixer_offset, 2);
    EXPECT_EQ(s.internal_pa_edr, 63);
    EXPECT_EQ(s.mixer_level_edr, 1);
    EXPECT_EQ(s.mixer_offset_edr, 2);
    EXPECT_EQ(s.tx_dbm, -8);
    EXPECT_EQ(Pack(s), raw);

    // Reserved bits are ignored on the way in; fields are masked to their widths on the way out.
    CBluetoothPowerTableV0Setting noisy;
    noisy.fromRaw(Words{0x0000, 0xFF8F, 0x0000, 0xFFFF, 0x01FF}.data());
    EXPECT_EQ(noisy.tx_pa_attn, 0);
    EXPECT_EQ(noisy.tx_pa_attn_edr, 7);
    EXPECT_EQ(noisy.inhibit_edr, 1);
    EXPECT_EQ(noisy.inhibit_br, 1);
    EXPECT_EQ(noisy.tx_dbm, 1);
    EXPECT_EQ(Pack(noisy), (Words{0x0000, 0x0000, 0x0000, 0x0073, 0x0100}));
    CBluetoothPowerTableV0Setting wide;
    wide.mixer_level = 0x1F;
    wide.mixer_offset = 0x12;
    wide.tx_pa_attn = 0x0F;
    wide.inhibit_br = 2;
    EXPECT_EQ(Pack(wide), (Words{0x00F2, 0x0070, 0x0000, 0x0000, 0x0000}));
}

TEST(PowerSetting, EnhancedSettingPacksEveryField) {
    CEnhancedPowerSetting s;
    s.internal_pa = 0x12;
    s.external_pa = 0x34;
    s.tx_pa_attn = 5;
    s.switchable_external_pa = 1;
    s.internal_pa_edr = 0x56;
    s.external_pa_edr = 0x78;
    s.inhibit_edr = 1;
    s.inhibit_br = 1;
    s.tx_pa_attn_edr = 6;
    s.tx_pre_edr = 0x9A;
    s.tx_dbm = -128;
    const Words raw{0x1234, 0x0051, 0x5678, 0x9A63, 0x8000};
    EXPECT_EQ(Pack(s), raw);
    CEnhancedPowerSetting back;
    back.fromRaw(raw.data());
    EXPECT_EQ(back, s);

    s.tx_pa_attn = 0xFF;
    s.switchable_external_pa = 0xFFFE;
    s.tx_pa_attn_edr = 8;
    EXPECT_EQ(Pack(s)[1], 0x0070);
    EXPECT_EQ(Pack(s)[3], 0x9A03);
}

TEST(PowerTable, FromRawTakesWholeSettingsUpToThirtyTwo) {
    Words words(200, 0x0101);
    CEnhancedPowerTable enhanced;
    enhanced.fromRaw(words.data(), 11);
    EXPECT_EQ(enhanced.count, 2);
    enhanced.fromRaw(words.data(), 4);
    EXPECT_EQ(enhanced.count, 0);
    enhanced.fromRaw(words.data(), 200);
    EXPECT_EQ(enhanced.count, 32);

    CPowerTable basic;
    basic.fromRaw(words.data(), 70);
    EXPECT_EQ(basic.count, 32);
    basic.fromRaw(words.data(), 7);
    EXPECT_EQ(basic.count, 3);
    basic.fromRaw(nullptr, 7);
    EXPECT_EQ(basic.count, 0);

    CPowerTable table;
    table.addElement(Basic(1, 2, 3));
    table.addElement(Basic(4, 5, -6));
    uint16_t raw[CPowerTable::MAX_RAW_WORDS];
    uint16_t count = 0;
    table.toRaw(raw, count);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(Words(raw, raw + 4), (Words{0x0102, 0x0300, 0x0405, 0xFA00}));
}

TEST(PowerTable, SortIsStableByOutputPower) {
    CPowerTable table;
    for (int8_t dbm : {4, -8, 0, -8}) {
        ASSERT_TRUE(table.addElement(Basic(static_cast<uint8_t>(table.count), 0, dbm)));
    }
    table.Sort();
    ASSERT_EQ(table.count, 4);
    EXPECT_EQ(table.settings[0], Basic(1, 0, -8));
    EXPECT_EQ(table.settings[1], Basic(3, 0, -8));
    EXPECT_EQ(table.settings[2], Basic(2, 0, 0));
    EXPECT_EQ(table.settings[3], Basic(0, 0, 4));
    EXPECT_TRUE(Basic(0, 0, -1) < Basic(0, 0, 1));
    EXPECT_FALSE(Basic(9, 9, 1) < Basic(0, 0, 1));
}

TEST(PowerTable, EditsStayInsideTheThirtyTwoSlots) {
    CBluetoothPowerTableV0 table;
    CBluetoothPowerTableV0Setting s;
    s.tx_dbm = 1;
    ASSERT_TRUE(table.addElement(s));
    s.tx_dbm = 3;
    ASSERT_TRUE(table.addElement(s));
    s.tx_dbm = 2;
    ASSERT_TRUE(table.insertElement(1, s));
    EXPECT_EQ(table.settings[1].tx_dbm, 2);
    EXPECT_EQ(table.settings[2].tx_dbm, 3);
    EXPECT_FALSE(table.insertElement(4, s));  // beyond count
    EXPECT_FALSE(table.insertElement(-1, s));
    EXPECT_TRUE(table.insertElement(3, s));  // at count: appends
    EXPECT_FALSE(table.deleteElement(4));
    EXPECT_FALSE(table.deleteElement(-1));
    ASSERT_TRUE(table.deleteElement(0));
    EXPECT_EQ(table.count, 3);
    EXPECT_EQ(table.settings[0].tx_dbm, 2);

    while (table.count < 32) {
        ASSERT_TRUE(table.addElement(s));
    }
    EXPECT_FALSE(table.addElement(s));
    EXPECT_FALSE(table.insertElement(0, s));
    EXPECT_EQ(table.count, 32);

    // A count set out of range by hand is taken as the nearest bound.
    table.count = 1000;
    uint16_t raw[CBluetoothPowerTableV0::MAX_RAW_WORDS];
    uint16_t words = 0;
    table.toRaw(raw, words);
    EXPECT_EQ(words, 160);
    EXPECT_FALSE(table.addElement(s));
    table.count = -5;
    table.toRaw(raw, words);
    EXPECT_EQ(words, 0);
    EXPECT_FALSE(table.deleteElement(0));
    EXPECT_TRUE(table.addElement(s));
    EXPECT_EQ(table.count, 1);
}

class PowerTableKey : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        Open();
    }
};

TEST_F(PowerTableKey, TablesGoToAndComeFromTheirKeys) {
    CPowerTable basic;
    basic.addElement(Basic(13, 17, -8));
    basic.addElement(Basic(20, 0, 4));
    ASSERT_TRUE(keys.pskv_set_power_table(kPowerTable, basic));
    EXPECT_EQ(chip->ReadKey(kPowerTable), (Words{0x0D11, 0xF800, 0x1400, 0x0400}));
    CPowerTable read;
    ASSERT_TRUE(keys.pskv_get_power_table(kPowerTable, read));
    EXPECT_EQ(read.count, 2);
    EXPECT_EQ(read.settings[1], Basic(20, 0, 4));

    CEnhancedPowerTable enhanced;
    CEnhancedPowerSetting e;
    e.tx_pre_edr = 0x9A;
    e.tx_dbm = -3;
    enhanced.addElement(e);
    ASSERT_TRUE(keys.pskv_set_enhanced_power_table(kEnhancedPowerTable, enhanced));
    EXPECT_EQ(chip->ReadKey(kEnhancedPowerTable), (Words{0, 0, 0, 0x9A00, 0xFD00}));
    CEnhancedPowerTable enhancedRead;
    ASSERT_TRUE(keys.pskv_get_enhanced_power_table(kEnhancedPowerTable, enhancedRead));
    ASSERT_EQ(enhancedRead.count, 1);
    EXPECT_EQ(enhancedRead.settings[0], e);

    CBluetoothPowerTableV0 v0;
    v0.fromRaw(Words{0x0D12, 0x0000, 0x3F12, 0x0000, 0xF800}.data(), 5);
    ASSERT_TRUE(keys.pskv_set_bluetooth_power_table_v0(kPowerTableV0, v0));
    CBluetoothPowerTableV0 v0Read;
    ASSERT_TRUE(keys.pskv_get_bluetooth_power_table_v0(kPowerTableV0, v0Read));
    ASSERT_EQ(v0Read.count, 1);
    EXPECT_EQ(v0Read.settings[0], v0.settings[0]);
}

TEST_F(PowerTableKey, LongKeysGiveThirtyTwoSettingsAndMissingKeysLeaveTheTable) {
    chip->SetKey(STORE_IMPLEMENTATION, kPowerTable, Words(70, 0x0102));
    CPowerTable table;
    ASSERT_TRUE(keys.pskv_get_power_table(kPowerTable, table));
    EXPECT_EQ(table.count, 32);

    CEnhancedPowerTable untouched;
    untouched.addElement(CEnhancedPowerSetting{});
    EXPECT_FALSE(keys.pskv_get_enhanced_power_table(kEnhancedPowerTable, untouched));
    EXPECT_EQ(untouched.count, 1);

    // An empty table writes an empty value.
    ASSERT_TRUE(keys.pskv_set_power_table(kPowerTable, CPowerTable{}));
    EXPECT_EQ(chip->ReadKey(kPowerTable), Words{});
}

}  // namespace
