// The shared state of every PS server (stores, boot mode, known keys, cancel flag) and the two
// ways a server learns the chip's keys.
#include "support.h"

#include <vector>

namespace {

using keyward_test::ChipTest;
using keyward_test::RecordingHandler;
using keyward_test::Response;
using keyward_test::ScriptedTransport;
using kvcmdsim::STORE_IMPLEMENTATION;

// A server with a chosen number of boot modes whose known-key set the test fills.
class PlainServer : public PsServer {
  public:
    explicit PlainServer(uint16_t bootmodes = 0) : mBootmodes(bootmodes) {}
    void Know(KnownKeySet keys) {
        delete mKnownKeys;
        mKnownKeys = new KnownKeySet(keys);
    }

    bool read_mem(GenericPointer, uint16_t, uint16_t*) override { return false; }
    bool pskv_size(uint16_t, uint16_t* const, bool) override { return false; }
    bool pskv_set(uint16_t, const uint16_t* const, uint16_t, bool) override { return false; }
    bool pskv_get(uint16_t, uint16_t* const, uint16_t, uint16_t* const, bool) override {
        return false;
    }
    bool pskv_next(uint16_t, uint16_t*, bool) override { return false; }
    bool pskv_next_all(uint16_t, uint16_t*) override { return false; }
    bool pskv_clr(uint16_t, bool) override { return false; }
    bool pskv_clrs(uint16_t, bool) override { return false; }
    bool pskv_known_key(uint16_t, bool) override { return false; }
    bool pskv_factory_set() override { return false; }
    bool pskv_factory_restore(bool) override { return false; }
    bool pskv_clrb(uint16_t) override { return false; }
    bool supports_stores() override { return false; }
    kvcmd_trans_error_handler* get_error_handler() override { return &handler; }
    bool reset_kv(reset_t) override { return false; }
    bool reset_kv_and_close(reset_t) override { return false; }
    bool open() override { return opened = opens; }
    bool close() override { return true; }
    void set_error_handler(kvcmd_trans_error_handler*) override {}
    bool get_firmware_id(int* const, uint16_t*, unsigned) override { return false; }
    bool is_layer_a_supported() override { return false; }
    bool get_slt(SlTable*&, bool) override { return false; }
    bool is_open() override { return opened; }
    uint16_t NumBootmodes() override { return mBootmodes; }

    RecordingHandler handler;
    bool opened = false;
    bool opens = true;

  private:
    uint16_t mBootmodes;
};

TEST(PsServerState, NewServerDefaults) {
    PlainServer server;
    EXPECT_EQ(server.GetStores(), 0);
    EXPECT_EQ(server.GetBootmode(), 0xFFFF);
    EXPECT_FALSE(server.keys_known());
    EXPECT_FALSE(server.key_exists(1));
    EXPECT_EQ(server.key_next(0), 0);
    EXPECT_FALSE(server.is_cancelled());
    EXPECT_STREQ(server.getvar("SPIDEBUG_REPRODUCIBLE"), "");
    EXPECT_STREQ(server.getvar(""), "");
    server.SetStores(0x0123);
    EXPECT_EQ(server.GetStores(), 0x0123) << "no check";
}

TEST(PsServerState, BootModeMustBeBelowTheNumberOfBootModes) {
    PlainServer eight(8);
    EXPECT_TRUE(eight.supports_bootmodes());
    eight.SetBootmode(3);
    EXPECT_EQ(eight.GetBootmode(), 3);
    eight.SetBootmode(8);
    EXPECT_EQ(eight.GetBootmode(), 0xFFFF);

    PlainServer none(0);
    EXPECT_FALSE(none.supports_bootmodes());
    for (uint16_t mode : {0, 1, 7, 0xFFFE}) {
        none.SetBootmode(mode);
        EXPECT_EQ(none.GetBootmode(), 0xFFFF);
    }
}

TEST(PsServerState, KeyNextWalksTheKnownKeysInOrder) {
    PlainServer server;
    server.Know({0x03CD, 0x0001, 0x02BE});
    EXPECT_EQ(server.key_next(0), 0x0001);
    EXPECT_EQ(server.key_next(0x0001), 0x02BE);
    EXPECT_EQ(server.key_next(0x02BE), 0x03CD);
    EXPECT_EQ(server.key_next(0x03CD), 0);
    EXPECT_EQ(server.key_next(0x0100), 0x02BE) << "a key outside the set gives the next member";
    EXPECT_TRUE(server.key_exists(0x02BE));
    EXPECT_FALSE(server.key_exists(0x02BF));
}

TEST(PsServerState, CopyKnownKeysMarksTheSetComplete) {
    PlainServer source;
    source.Know({5, 6});
    EXPECT_FALSE(source.keys_known());
    PlainServer target;
    target.Know({1});
    target.copy_known_keys(&source);
    EXPECT_TRUE(target.keys_known());
    EXPECT_TRUE(target.key_exists(5));
    EXPECT_FALSE(target.key_exists(1));
    source.Know({});
    EXPECT_TRUE(target.key_exists(6)) << "a deep copy";

    PlainServer empty;
    target.copy_known_keys(&empty);
    EXPECT_TRUE(target.keys_known());
    EXPECT_EQ(target.key_next(0), 0);
}

TEST(PsServerState, CopiesDuplicateTheKnownKeysAndAreSafeToDestroy) {
    auto original = std::make_unique<PlainServer>(4);
    original->Know({7});
    original->SetBootmode(2);
    original->do_cancel();
    PlainServer copy(*original);
    PlainServer assigned;
    assigned = *original;
    original.reset();
    EXPECT_TRUE(copy.key_exists(7));
    EXPECT_TRUE(assigned.key_exists(7));
    EXPECT_EQ(copy.GetBootmode(), 2);
    EXPECT_TRUE(assigned.is_cancelled());
    copy.clear_cancel();
    EXPECT_FALSE(copy.is_cancelled());
}

TEST(PsServerState, GetConnectedOpensOnlyWhenClosed) {
    PlainServer server;
    server.opens = false;
    EXPECT_FALSE(server.get_connected());
    server.opens = true;
    EXPECT_TRUE(server.get_connected());
    server.opens = false;
    EXPECT_TRUE(server.get_connected()) << "already open";
}

// ---- the known-key set

// Every member of `keys`, in order, by lower_bound.
std::vector<uint32_t> Members(const KnownKeySet& keys) {
    std::vector<uint32_t> members;
    for (uint32_t key = keys.lower_bound(0); key != KnownKeySet::kNone;
         key = keys.lower_bound(key + 1)) {
        members.push_back(key);
    }
    return members;
}

TEST(KnownKeys, RangesFillExactlyTheirKeysAcrossWordEdges) {
    // Ranges that start, end or stay inside one 64-key word, or span several.
    for (const auto& [first, last] : std::vector<std::pair<uint16_t, uint16_t>>{{0, 0},
                                                                                {1, 63},
                                                                                {63, 64},
                                                                                {64, 127},
                                                                                {5, 6},
                                                                                {60, 200},
                                                                                {0xFFC0, 0xFFFF},
                                                                                {0xFFFF, 0xFFFF},
                                                                                {0x0001, 0xFFFF},
                                                                                {100, 99}}) {
        KnownKeySet keys;
        keys.insert(first, last);
        std::vector<uint32_t> expected;
        for (uint32_t key = first; key <= last; ++key) {
            expected.push_back(key);
        }
        EXPECT_EQ(Members(keys), expected) << std::hex << first << "-" << last;
        KnownKeySet oneByOne;
        for (uint32_t key : expected) {
            EXPECT_TRUE(oneByOne.insert(static_cast<uint16_t>(key)));
        }
        EXPECT_TRUE(oneByOne == keys);
    }
}

TEST(KnownKeys, LowerBoundFindsTheNextMemberPastEmptyWords) {
    KnownKeySet keys{0x0003, 0x4000, 0xFFFF};
    EXPECT_FALSE(keys.insert(0x4000)) << "already there";
    EXPECT_EQ(keys.lower_bound(0), 0x0003u);
    EXPECT_EQ(keys.lower_bound(4), 0x4000u);
    EXPECT_EQ(keys.lower_bound(0x4001), 0xFFFFu);
    EXPECT_EQ(keys.lower_bound(0x10000), KnownKeySet::kNone);
    EXPECT_EQ(KnownKeySet().lower_bound(0), KnownKeySet::kNone);
    EXPECT_TRUE(keys.contains(0xFFFF));
    EXPECT_FALSE(keys.contains(0xFFFE));
}

// ---- discovery

class Discovery : public ChipTest {};

TEST_F(Discovery, MemoryListGivesTheFirmwareKeys) {
    chip->SetFirmwareKeys({{0x0100, 0x0102}, {0x0200, 0x0200}});
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(server->keys_known());
    std::vector<uint16_t> keys;
    for (uint16_t key = server->key_next(0); key != 0; key = server->key_next(key)) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<uint16_t>{0x0100, 0x0101, 0x0102, 0x0200}));
}

TEST_F(Discovery, EmptyListAndReversedPairs) {
    chip->SetFirmwareKeys({});
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(server->keys_known());
    EXPECT_EQ(server->key_next(0), 0);

    // A pair whose last key is below its first stands for no key.
    ASSERT_TRUE(chip->WriteMemory(4, 0x4000, {0x0200, 0x01FF, 0x0005, 0x0005, 0, 0}));
    ASSERT_TRUE(server->inquire_known_keys());
    EXPECT_EQ(server->key_next(0), 0x0005);
    EXPECT_EQ(server->key_next(0x0005), 0);
}

TEST_F(Discovery, OverlappingPairsGiveEachKeyOnce) {
    ASSERT_TRUE(chip->WriteMemory(
        4, 0x4000, {0x0003, 0x0008, 0x0001, 0x0005, 0x0001, 0xFFFF, 0x0002, 0x0002, 0, 0}));
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(server->key_exists(0x0001));
    EXPECT_TRUE(server->key_exists(0xFFFF));
    uint32_t count = 0;
    for (uint16_t key = server->key_next(0); key != 0; key = server->key_next(key)) {
        ++count;
    }
    EXPECT_EQ(count, 0xFFFFu);
}

TEST_F(Discovery, LongListsAreReadInSeveralSteps) {
    std::vector<kvcmdsim::KeyRange> ranges;
    for (uint16_t i = 1; i <= 40; ++i) {
        ranges.push_back({static_cast<uint16_t>(i * 4), static_cast<uint16_t>(i * 4 + 1)});
    }
    chip->SetFirmwareKeys(ranges);
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(server->key_exists(160));
    EXPECT_TRUE(server->key_exists(161));
    EXPECT_FALSE(server->key_exists(162));
}

TEST_F(Discovery, LockedChipIsWalkedKeyByKey) {
    chip->SetSecure(true);
    chip->SetKey(STORE_IMPLEMENTATION, 0x0003, {1});
    chip->SetKey(kvcmdsim::STORE_ROM, 0x0001, {1});
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(server->keys_known());
    EXPECT_EQ(server->key_next(0), 0x0001);
    EXPECT_EQ(server->key_next(0x0001), 0x0003);
    EXPECT_EQ(server->key_next(0x0003), 0);
    EXPECT_EQ(transport->get_security_state(), kvcmd_trans::SECURITY_LOCKED);
}

TEST_F(Discovery, MissingTableIsReportedAndAnswerTwoSearchesAgain) {
    const kvcmdsim::TableLayout normal = chip->GetTableLayout();
    chip->SetTableLayout(kvcmdsim::TableLayout{false});
    int asked = 0;
    handler.answerFor = [&](const keyward_test::Report& report) {
        if (report.caption == L"Error reading lookup table" && ++asked == 1) {
            chip->SetTableLayout(normal);  // the chip came up meanwhile
            return KVCMD_RESPONSE_RETRY;
        }
        return KVCMD_RESPONSE_ABORT;
    };
    EXPECT_TRUE(server->open());
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(handler.reports[0].text,
              L"The application was unable to find a lookup table on the chip.\nPlease check the "
              L"chip is running.  You may need to reset the chip, then\nreconnect.");
    EXPECT_EQ(handler.reports[0].code, 3);
    EXPECT_EQ(handler.reports[0].type, 2);
    EXPECT_TRUE(server->key_exists(0x01F9));
}

TEST_F(Discovery, TableWithoutTheKeyListIsReported) {
    // A table of our own at the default place, holding entry 9 only.
    ASSERT_TRUE(chip->WriteMemory(4, 0x0100, {SlTable::MAGIC_TABLE, 0x0140, 0}));
    ASSERT_TRUE(chip->WriteMemory(4, 0x0140, {9, 0x1234, 0, 0}));
    EXPECT_FALSE(server->open());
    ASSERT_EQ(handler.reports.size(), 1u) << "the default answer stops the search";
    EXPECT_EQ(handler.reports[0].text,
              L"The lookup table on the chip did not contain the PSKey list.");
    EXPECT_EQ(handler.reports[0].type, 0);
    EXPECT_FALSE(server->keys_known());
}

TEST_F(Discovery, OtherAnswersToAMissingKeyListDoNotReadGarbage) {
    ASSERT_TRUE(chip->WriteMemory(4, 0x0100, {SlTable::MAGIC_TABLE, 0x0140, 0}));
    ASSERT_TRUE(chip->WriteMemory(4, 0x0140, {9, 0x1234, 0, 0}));
    ASSERT_TRUE(chip->WriteMemory(4, 0x0000, {0x0001, 0x0010}));
    handler.reply = KVCMD_RESPONSE_IGNORE;
    EXPECT_FALSE(server->open());
    EXPECT_FALSE(server->key_exists(0x0001));
}

TEST_F(Discovery, LookupTableLocationFailureIsReported) {
    // Without a table object from the transport.
    auto* scripted = new ScriptedTransport([](const KVCMD_PDU& request, PDU& response) {
        response = Response(request, 0, {}, {0});
        return 0;
    });
    scripted->set_error_handler(&handler);
    PsKvcmd bare(scripted);
    EXPECT_FALSE(bare.open());
    ASSERT_FALSE(handler.reports.empty());
    EXPECT_EQ(handler.reports.back().text,
              L"The application was unable to determine the lookup table location on the "
              L"chip.\nPlease check the chip is running.  You may need to reset the chip, "
              L"then\nreconnect.");
    EXPECT_EQ(handler.reports.back().type, 2);
}

TEST(DiscoveryWalk, DuplicateKeyIsReportedOnceAndTheFlagStaysFalse) {
    RecordingHandler handler;
    const std::vector<uint16_t> walk = {0x0001, 0x0002, 0x0001};
    size_t position = 0;
    auto* scripted = new ScriptedTransport([&](const KVCMD_PDU& request, PDU& response) {
        if (request.get_varid() == KVCMD_MEMORY_PDU::VARID) {
            response = Response(request, KVCMD_PDU::STATUS_ACCESS_DENIED);  // locked
        } else {
            const uint16_t next = position < walk.size() ? walk[position++] : 0;
            response = Response(request, 0, {request.get_uint16(10), next});
        }
        return 0;
    });
    scripted->set_error_handler(&handler);
    PsKvcmd server(scripted);
    EXPECT_FALSE(server.open());
    EXPECT_FALSE(server.keys_known());
    EXPECT_TRUE(server.key_exists(0x0001));
    EXPECT_TRUE(server.key_exists(0x0002));
    int duplicates = 0;
    for (const auto& report : handler.reports) {
        if (report.text == L"The chip returned duplicate keys in its key list") {
            ++duplicates;
            EXPECT_EQ(report.caption, L"Communications Error");
            EXPECT_EQ(report.code, 3);
        }
    }
    EXPECT_EQ(duplicates, 1);
}

}  // namespace
