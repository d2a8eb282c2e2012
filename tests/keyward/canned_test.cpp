// Canned operations: the recipe table and running recipes on simulated chips, also on chips
// that lack some of the keys.
#include "support.h"

#include <set>

namespace {

using keyward_test::ChipTest;
using keyward_test::Report;
using kvcmdsim::STORE_IMPLEMENTATION;
using Words = std::vector<uint16_t>;

constexpr uint16_t kUartBlock = 0x0191;
constexpr uint16_t kUartBaudrate = 0x01BE;
constexpr uint16_t kUartBitrate = 0x01EA;
constexpr uint16_t kHostInterface = 0x01F9;
constexpr uint16_t kUartConfig = 0x0205;
constexpr uint16_t kUsr0 = 0x028A;
constexpr uint16_t kUsr49 = 0x02BB;
constexpr uint16_t kInitialBootmode = 0x03CD;

std::vector<std::wstring> Names() {
    std::vector<std::wstring> names;
    for (const canned_entry* e = canned; e->name != nullptr; ++e) {
        names.push_back(e->name);
    }
    return names;
}

const canned_entry& Entry(const std::wstring& name) {
    for (const canned_entry* e = canned; e->name != nullptr; ++e) {
        if (name == e->name) {
            return *e;
        }
    }
    ADD_FAILURE() << "no canned entry " << keyward::Narrow(name);
    return canned[0];
}

TEST(CannedTable, HoldsTheRecipesInOrderWithTheirAliases) {
    const std::vector<std::wstring> names = Names();
    ASSERT_EQ(names.size(), 29u);
    EXPECT_EQ(canned[29].operations, nullptr);
    EXPECT_EQ(names[0], L"@h4");
    EXPECT_EQ(names[4], L"@usb");
    EXPECT_EQ(names[20], L"@del_usr");
    EXPECT_EQ(names[28], L"@hci_external");
    EXPECT_EQ(std::wstring(canned[23].description),
              L"Enables Deep Sleep, which may causes unreliable SPI PS operation");
    for (const auto& [a, b] :
         std::vector<std::pair<std::wstring, std::wstring>>{{L"@h5", L"@TWU"},
                                                            {L"@raw", L"@user"},
                                                            {L"@vm_enable", L"@enable"},
                                                            {L"@vm_disable", L"@disable"},
                                                            {L"@no_sleep", L"@sleep_disable"}}) {
        EXPECT_EQ(Entry(a).operations, Entry(b).operations) << keyward::Narrow(a);
    }
    // Every list is distinct apart from the aliases.
    std::set<const canned_operation*> lists;
    for (const canned_entry* e = canned; e->name != nullptr; ++e) {
        lists.insert(e->operations);
    }
    EXPECT_EQ(lists.size(), 24u);

    const canned_operation* del = Entry(L"@del_usr").operations;
    for (uint16_t i = 0; i < 50; ++i) {
        EXPECT_EQ(del[i].op, PS_OP_DELETE);
        EXPECT_EQ(del[i].key, kUsr0 + i);
    }
    EXPECT_EQ(del[50].key, 0);
    const canned_operation* h4 = Entry(L"@h4").operations;
    EXPECT_EQ(h4[1].op, PS_OP_UPDATE);
    EXPECT_EQ(h4[1].key, kUartConfig);
    EXPECT_EQ(h4[1].value, 0x00A8u);
    EXPECT_EQ(Entry(L"@921600").operations[1].value, 0x000E1000u);
}

TEST(CannedTable, NamesMatchWithoutRegardToCase) {
    CKeyWarder keys;
    EXPECT_TRUE(keys.is_valid_canned(L"@usb"));
    EXPECT_TRUE(keys.is_valid_canned(L"@USB"));
    EXPECT_TRUE(keys.is_valid_canned(L"@twu"));
    EXPECT_FALSE(keys.is_valid_canned(L"usb"));
    EXPECT_FALSE(keys.is_valid_canned(L"@usb "));
    EXPECT_FALSE(keys.is_valid_canned(nullptr));
}

class Canned : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        Open();
    }
    std::optional<Words> Stored(uint16_t key) { return chip->ReadKey(key); }
    uint64_t Requests(uint16_t key) {
        return chip->RequestCount(KVCMD_PSSIZE_PDU::VARID, key) +
               chip->RequestCount(KVCMD_PS_PDU::VARID, key);
    }
};

TEST_F(Canned, BaudRecipesSetTheBaudAndTheThirtyTwoBitRate) {
    EXPECT_TRUE(keys.apply_canned(L"@19200"));
    EXPECT_EQ(Stored(kUartBaudrate), Words{0x004F});
    EXPECT_EQ(Stored(kUartBitrate), (Words{0x0000, 0x4B00}));
    EXPECT_TRUE(keys.apply_canned(L"@921600"));
    EXPECT_EQ(Stored(kUartBitrate), (Words{0x000E, 0x1000}));
    EXPECT_EQ(handler.Texts().size(), 4u);  // one progress note per step
}

TEST_F(Canned, StepsForKeysTheChipLacksAreSkipped) {
    chip->RemoveFirmwareKeys({kUartBitrate, kUartBitrate});
    ASSERT_TRUE(server->open());
    chip->ResetCounters();
    EXPECT_TRUE(keys.apply_canned(L"@115200"));
    EXPECT_EQ(Stored(kUartBaudrate), Words{0x01D8});
    EXPECT_FALSE(Stored(kUartBitrate).has_value());
    EXPECT_EQ(Requests(kUartBitrate), 0u);

    // @default_boot_mode deletes the key when the chip has it, else does nothing.
    chip->SetKey(STORE_IMPLEMENTATION, kInitialBootmode, {2});
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(keys.apply_canned(L"@default_boot_mode"));
    EXPECT_FALSE(Stored(kInitialBootmode).has_value());
    chip->RemoveFirmwareKeys({kInitialBootmode, kInitialBootmode});
    ASSERT_TRUE(server->open());
    chip->ResetCounters();
    EXPECT_TRUE(keys.apply_canned(L"@default_boot_mode"));
    EXPECT_EQ(chip->RequestCount(KVCMD_PSCLR_PDU::VARID), 0u);
}

TEST_F(Canned, DelUsrDeletesTheUserKeysTheChipHas) {
    chip->SetKey(STORE_IMPLEMENTATION, kUsr0, {1});
    chip->SetKey(STORE_IMPLEMENTATION, kUsr49, {2, 3});
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {2});
    chip->RemoveFirmwareKeys({kUsr0 + 10, kUsr0 + 19});
    ASSERT_TRUE(server->open());
    chip->ResetCounters();
    EXPECT_TRUE(keys.apply_canned(L"@DEL_USR"));
    EXPECT_FALSE(Stored(kUsr0).has_value());
    EXPECT_FALSE(Stored(kUsr49).has_value());
    EXPECT_EQ(Stored(kHostInterface), Words{2});
    EXPECT_EQ(chip->RequestCount(KVCMD_PSCLR_PDU::VARID), 40u);
}

TEST_F(Canned, TheUartConfigStepRewritesItsBitFieldOnlyWhenItHasAValue) {
    // The firmware lists its presentation keys, so the step is not skipped.
    EXPECT_TRUE(server->key_exists(kUartConfig));
    EXPECT_TRUE(keys.apply_canned(L"@h4"));
    EXPECT_EQ(Stored(kHostInterface), Words{3});
    EXPECT_FALSE(Stored(kUartBlock).has_value());
    for (const Report& r : handler.reports) {
        EXPECT_EQ(r.type, -1) << "without a value there is nothing to update, and no error";
    }

    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {1, 6, 2, 0, 0, 0, 0, 0, 0, 9});
    const std::pair<const wchar_t*, uint16_t> recipes[] = {
        {L"@h4", 0x00A8},   {L"@h5", 0x0006},   {L"@raw", 0x00A8}, {L"@TWU", 0x0006},
        {L"@user", 0x00A8}, {L"@kvsp", 0x0006}, {L"@h4", 0x00A8},  {L"@none", 0x0006}};
    for (const auto& [name, config] : recipes) {
        SCOPED_TRACE(keyward::Narrow(name));
        EXPECT_TRUE(keys.apply_canned(name));
        EXPECT_EQ(Stored(kUartBlock), (Words{1, config, 2, 0, 0, 0, 0, 0, 0, 9}));
    }
    EXPECT_EQ(Stored(kHostInterface), Words{0});
}

TEST_F(Canned, OnAFirmwareWithoutTheUartConfigKeyTheStepIsSkipped) {
    chip->RemoveFirmwareKeys({kUartConfig, kUartConfig});
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {1, 6, 2, 0, 0, 0, 0, 0, 0, 9});
    ASSERT_TRUE(server->open());
    chip->ResetCounters();
    EXPECT_TRUE(keys.apply_canned(L"@h4"));
    EXPECT_EQ(Stored(kHostInterface), Words{3});
    EXPECT_EQ(Stored(kUartBlock), (Words{1, 6, 2, 0, 0, 0, 0, 0, 0, 9}));
    EXPECT_EQ(Requests(kUartConfig) + Requests(kUartBlock), 0u);
}

TEST_F(Canned, RecipesThroughTheCacheSeeThePresentationKeys) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {1, 6, 2, 0, 0, 0, 0, 0, 0, 9});
    PsCache cache;
    cache.SetServer(server.get());
    ASSERT_TRUE(cache.open());
    CKeyWarder cached(&cache);
    EXPECT_TRUE(cached.apply_canned(L"@h4"));
    EXPECT_EQ(Stored(kUartBlock), (Words{1, 0x00A8, 2, 0, 0, 0, 0, 0, 0, 9}));
    cache.close();
}

TEST_F(Canned, UnknownNamesAreReportedAndChangeNothing) {
    EXPECT_FALSE(keys.apply_canned(L"@usb2"));
    ASSERT_EQ(handler.reports.size(), 1u);
    const Report& r = handler.reports[0];
    EXPECT_EQ(r.text, L"Canned operation @usb2 not supported");
    EXPECT_EQ(r.caption, L"ERROR");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.type, 0);
    EXPECT_EQ(chip->TransactCount(), 0u);

    // A very long name is cut so that the report stays at 256 characters.
    EXPECT_FALSE(keys.apply_canned(std::wstring(600, L'x').c_str()));
    EXPECT_EQ(handler.reports.back().text.size(), 256u);
}

TEST_F(Canned, ByIndexAndByList) {
    EXPECT_TRUE(keys.apply_canned(4));  // @usb
    EXPECT_EQ(Stored(kHostInterface), Words{2});
    EXPECT_FALSE(keys.apply_canned(29));
    EXPECT_FALSE(keys.apply_canned(-1));
    const canned_operation steps[] = {{PS_OP_SET, kHostInterface, 0x10007}, {0, 0, 0}};
    EXPECT_TRUE(keys.apply_canned(steps));
    EXPECT_EQ(Stored(kHostInterface), Words{7});  // one word: the low 16 bits
}

TEST_F(Canned, AStepTheHandlerStopsEndsTheRecipe) {
    handler.answerFor = [](const Report& r) {
        return r.type == -1 ? KVCMD_RESPONSE_NONE : KVCMD_RESPONSE_ABORT;
    };
    chip->FailRequests(KVCMD_PS_PDU::VARID, kUartBaudrate, KVCMD_PDU::STATUS_PERMISSION_DENIED, -1);
    chip->SetKey(STORE_IMPLEMENTATION, kUartBaudrate, {1});
    EXPECT_FALSE(keys.apply_canned(L"@38400"));
    EXPECT_FALSE(Stored(kUartBitrate).has_value());
}

TEST_F(Canned, AServerNotYetOpenIsOpenedForItsKeyList) {
    auto fresh = std::make_unique<PsKvcmd>(NewTransport());
    CKeyWarder unopened(fresh.get());
    EXPECT_TRUE(unopened.apply_canned(L"@usb"));
    EXPECT_EQ(Stored(kHostInterface), Words{2});
}

}  // namespace
