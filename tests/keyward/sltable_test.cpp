// The lookup table search: every place and form a chip may keep its table in, the narrowing by
// chip identity, and discovery of the key list through it.
#include "support.h"

namespace {

using keyward_test::ChipTest;
using kvcmdsim::TableLayout;

class Tables : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        chip->AddMemorySpace(2, 0x10000);
        chip->AddMemorySpace(34, 0x10000);
    }
    // Lays the table out as given (key list at its usual place).
    void Place(TableLayout::Form form, uint32_t space, uint32_t header, uint32_t entries = 0) {
        TableLayout layout;
        layout.form = form;
        layout.space = space;
        layout.header = header;
        layout.entries = entries != 0 ? entries : header + 0x10;
        chip->SetTableLayout(layout);
    }
    // The transport's table after identifying the chip anew.
    SlTable& Table() {
        if (!transport->is_open()) {
            EXPECT_TRUE(transport->open(0));
        }
        SlTable* table = nullptr;
        EXPECT_TRUE(transport->get_slt(table, true));
        return *table;
    }
    // A table of this transport that knows no chip identity.
    SlTable& Unidentified() {
        if (!transport->is_open()) {
            EXPECT_TRUE(transport->open(0));
        }
        bare.set_memory_reader(transport);
        return bare;
    }

    SlTable bare;
};

TEST_F(Tables, VariantZeroWithoutIdentityTriesBothPlacesAndThePointer) {
    SlTable& table = Table();
    ASSERT_TRUE(table.locate(0, true)) << "plain at byte 0x0200";
    EXPECT_EQ(table.entry_value(31), 0x4000u);
    EXPECT_FALSE(table.is_extended());

    Place(TableLayout::PLAIN, 4, 0x0080, 0x0090);
    ASSERT_TRUE(table.locate(0, true)) << "plain at byte 0x0100";
    EXPECT_EQ(table.entry_value(31), 0x4000u);

    // An extended table with 32-bit values, named by the pointer at words 0xF84B and 0xF84C:
    // space 34, byte address 0x010600.
    chip->SetTableLayout(TableLayout{false});
    ASSERT_TRUE(chip->WriteMemory(34, 0x8300, {0xD397, 5, 0x5678, 0x1234, 31, 0x4000, 0, 0}));
    ASSERT_TRUE(chip->WriteMemory(4, 0xF84B, {0x0600, 0x2201}));
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_TRUE(table.is_extended());
    EXPECT_EQ(table.entry_value(5), 0x12345678u);
    EXPECT_EQ(table.entry_value(31), 0x4000u);

    // The same through a redirection, as the simulated firmware lays it out.
    chip->ClearWrittenMemory();
    TableLayout layout;
    layout.form = TableLayout::EXTENDED;
    layout.space = 34;
    layout.header = 0x0300;
    layout.redirect_space = 2;
    layout.redirect_at = 0x0400;
    layout.pointer_at = SlTable::POINTER_LOW;
    chip->SetTableLayout(layout);
    chip->SetFirmwareKeys({{0x0100, 0x0101}});
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_TRUE(table.is_extended());
    EXPECT_EQ(table.entry_value(31), 0x4000u);
    transport->close();
    ASSERT_TRUE(server->open()) << "discovery reads the key list through it";
    EXPECT_TRUE(server->key_exists(0x0101));
    EXPECT_FALSE(server->key_exists(0x01F9));
}

TEST_F(Tables, LocateKeepsALoadedTableUnlessForced) {
    SlTable& table = Table();
    ASSERT_TRUE(table.locate(0, false));
    chip->SetSymbol(9, 0x1234);
    ASSERT_TRUE(table.locate(0, false));
    EXPECT_FALSE(table.has_entry(9)) << "kept";
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_EQ(table.entry_value(9), 0x1234u);
    EXPECT_FALSE(table.locate(4, false)) << "no such variant";
    EXPECT_FALSE(table.is_loaded());
    SlTable readerless;
    EXPECT_FALSE(readerless.locate(0, false));
}

TEST_F(Tables, FixedClassLooksOnlyWhereTheVersionIdSays) {
    Place(TableLayout::PLAIN, 4, 0x0080, 0x0090);  // byte 0x0100
    EXPECT_TRUE(Unidentified().locate(0, true));

    chip->SetChipWords(0x0400, 0, 0);  // MVT1010: a version id, so byte 0x0200 only
    EXPECT_FALSE(Table().locate(0, true));
    EXPECT_STREQ(transport->Identity().record().name, "MVT1010");

    chip->SetChipWords(0x0000, 0x0004, 0);  // the same type through the second word
    EXPECT_TRUE(Table().locate(0, true));
    chip->SetTableLayout(TableLayout{});
    EXPECT_FALSE(Table().locate(0, true)) << "byte 0x0100 only";
}

TEST_F(Tables, PointerClassReadsThePointerTheSecondWordChooses) {
    TableLayout layout;
    layout.form = TableLayout::EXTENDED;
    layout.space = 2;
    layout.header = 0x0200;
    layout.pointer_at = SlTable::POINTER_LOW;
    chip->SetTableLayout(layout);

    chip->SetChipWords(0x0040, 0x0022, 0);  // MVT4120
    SlTable& table = Table();
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_TRUE(table.is_extended());
    EXPECT_EQ(table.entry_value(31), 0x4000u);

    chip->SetChipWords(0x0040, 0x0044, 0);  // MVT4310 keeps its pointer at 0xFDF8
    EXPECT_FALSE(Table().locate(0, true));
    layout.pointer_at = SlTable::POINTER_LOW_LATE;
    chip->SetTableLayout(layout);
    EXPECT_TRUE(Table().locate(0, true));

    // Without a pointer (none set, or a version word of 256 and more) the usual places are
    // searched.
    chip->SetTableLayout(TableLayout{});
    SlTable& late = Table();
    EXPECT_TRUE(late.locate(0, true));
    EXPECT_FALSE(late.is_extended());
    chip->SetChipWords(0x0140, 0x0022, 0);
    EXPECT_TRUE(Table().locate(0, true));
    EXPECT_STREQ(transport->Identity().record().name, "MVT4120");
}

TEST_F(Tables, ShortClassReadsTheShortTables) {
    chip->SetChipWords(0x0700, 0, 0);  // MVT1022
    chip->SetSymbol(1, 0x0011);
    chip->SetSymbol(9, 0x0099);
    chip->SetSymbol(13, 0x1313);
    chip->SetSymbol(20, 0x2020);
    Place(TableLayout::SHORT, 4, 0x9FDC);  // byte 0x13FB8
    SlTable& table = Table();
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_EQ(table.entry_value(1), 0x0011u);
    EXPECT_EQ(table.entry_value(13), 0x1313u);
    EXPECT_FALSE(table.has_entry(20)) << "ids above 13 end a short table";
    EXPECT_FALSE(table.has_entry(31));

    Place(TableLayout::FIXED, 4, 0x9FDC);
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_EQ(table.entry_value(1), 0x0011u);
    EXPECT_EQ(table.entry_value(2), 0u);
    EXPECT_TRUE(table.has_entry(3));
    EXPECT_FALSE(table.has_entry(9));

    // Neither form holds the key list.
    transport->close();
    EXPECT_FALSE(server->open());
    ASSERT_FALSE(handler.reports.empty());
    EXPECT_EQ(handler.reports.back().text,
              L"The lookup table on the chip did not contain the PSKey list.");
}

TEST_F(Tables, VariantOnePlaces) {
    SlTable& table = Unidentified();
    chip->SetSymbol(9, 0x0009);
    Place(TableLayout::PLAIN, 2, 0x0100);
    EXPECT_TRUE(table.locate(1, true)) << "byte 0x0200";
    Place(TableLayout::PLAIN, 2, 0x0080);
    EXPECT_FALSE(table.locate(1, true)) << "byte 0x0100 must not hold entry 9";
    chip->RemoveSymbol(9);
    EXPECT_TRUE(table.locate(1, true));
    Place(TableLayout::EXTENDED, 2, 0x0009);
    EXPECT_TRUE(table.locate(1, true)) << "extended at byte 0x0012";
    EXPECT_TRUE(table.is_extended());

    // MVT1001 keeps it at byte 0x0200 only.
    chip->SetChipWords(0x0100, 0, 0);
    EXPECT_FALSE(Table().locate(1, true));
    Place(TableLayout::PLAIN, 2, 0x0100);
    EXPECT_TRUE(Table().locate(1, true));
}

TEST_F(Tables, VariantTwoPlacesAndTheUpperBank) {
    SlTable& table = Unidentified();
    chip->SetSymbol(7, 0x5000);
    chip->SetSymbol(5, 0x0005);
    Place(TableLayout::PLAIN, 2, 0x4100, 0x4200);  // byte 0x8200, upper bank
    ASSERT_TRUE(table.locate(2, true));
    EXPECT_EQ(table.entry_value(7), 0x5000u) << "relative to the bank in memory";
    EXPECT_EQ(table.entry_value(5), 0x0005u);
    uint16_t header[2] = {};
    ASSERT_TRUE(chip->ReadMemory(2, 0x4100, 2, header));
    EXPECT_EQ(header[1], 0x0200);

    Place(TableLayout::PLAIN, 2, 0x0080);
    EXPECT_FALSE(table.locate(2, true)) << "byte 0x0100 must hold entry 9";
    chip->SetSymbol(9, 0x0009);
    EXPECT_TRUE(table.locate(2, true));

    // MVT2010 looks at byte 0x8100, then byte 0x0100.
    chip->SetChipWords(0x0A00, 0, 0);
    EXPECT_TRUE(Table().locate(2, true));
    Place(TableLayout::PLAIN, 2, 0x4080, 0x4300);
    SlTable& identified = Table();
    EXPECT_TRUE(identified.locate(2, true));
    EXPECT_EQ(identified.entry_value(7), 0x5000u);
    Place(TableLayout::PLAIN, 2, 0x4100, 0x4200);
    EXPECT_FALSE(Table().locate(2, true)) << "byte 0x8200 is not its place";
}

TEST_F(Tables, VariantThreeAndRedirections) {
    SlTable& table = Unidentified();
    Place(TableLayout::EXTENDED, 34, 0x0009);
    ASSERT_TRUE(table.locate(3, true));
    EXPECT_TRUE(table.is_extended());

    TableLayout layout;
    layout.form = TableLayout::EXTENDED;
    layout.space = 2;
    layout.header = 0x0700;
    layout.redirect_space = 34;
    layout.redirect_at = 0x0009;
    chip->SetTableLayout(layout);
    ASSERT_TRUE(table.locate(3, true));
    EXPECT_EQ(table.entry_value(31), 0x4000u);

    // A redirection to itself is given up.
    chip->SetTableLayout(TableLayout{false});
    ASSERT_TRUE(chip->WriteMemory(34, 0x0009, {0x793D, 0x0012, 0x2200}));
    EXPECT_FALSE(table.locate(3, true));
}

TEST_F(Tables, TablesWithoutAnEnd) {
    SlTable& table = Unidentified();
    chip->SetTableLayout(TableLayout{false});
    // An extended table stops after 255 words: 85 triples.
    std::vector<uint16_t> words = {0xD397};
    for (uint16_t id = 1; id <= 100; ++id) {
        words.insert(words.end(), {id, id, 0});
    }
    ASSERT_TRUE(chip->WriteMemory(34, 0x0009, words));
    ASSERT_TRUE(table.locate(3, true));
    EXPECT_TRUE(table.has_entry(85));
    EXPECT_FALSE(table.has_entry(86));

    // A plain table must end within 256 words.
    std::vector<uint16_t> pairs;
    for (uint16_t id = 1; id <= 200; ++id) {
        pairs.insert(pairs.end(), {id, id});
    }
    ASSERT_TRUE(chip->WriteMemory(4, 0x0100, {0xD397, 0x0200, 0}));
    ASSERT_TRUE(chip->WriteMemory(4, 0x0200, pairs));
    EXPECT_FALSE(table.locate(0, true));
    ASSERT_TRUE(chip->WriteMemory(4, 0x0200 + 254, {0, 0}));
    EXPECT_TRUE(table.locate(0, true));
    EXPECT_TRUE(table.has_entry(127));
}

// ---- discovery through the table

TEST_F(Tables, AHeaderReadFailingTwiceIsRetriedOnlyForASingleCandidate) {
    // MVT1010 has one candidate, byte 0x0200 of space 4 (word 0x0100): three attempts.
    chip->SetChipWords(0x0400, 0, 0);
    chip->FailRequests(KVCMD_MEMORY_PDU::VARID, 0x0100, KVCMD_PDU::STATUS_ERROR, 2);
    EXPECT_EQ(bare.get_header_retry_wait(), std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(server->open());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200))
        << "two pauses before the attempts that follow a failure";
    EXPECT_TRUE(server->key_exists(0x01F9));

    // Without a pause the attempts are the same.
    SlTable* table = nullptr;
    ASSERT_TRUE(transport->get_slt(table, false));
    table->set_header_retry_wait(std::chrono::milliseconds(0));
    server->close();
    chip->FailRequests(KVCMD_MEMORY_PDU::VARID, 0x0100, KVCMD_PDU::STATUS_ERROR, 2);
    EXPECT_TRUE(server->open());
    EXPECT_TRUE(server->key_exists(0x01F9));

    // An unknown chip has several: one attempt each.
    server->close();
    chip->SetChipWords(0, 0, 0);
    chip->FailRequests(KVCMD_MEMORY_PDU::VARID, 0x0100, KVCMD_PDU::STATUS_ERROR, 2);
    handler.reports.clear();
    EXPECT_FALSE(server->open());
    ASSERT_FALSE(handler.reports.empty());
    EXPECT_EQ(handler.reports.back().text,
              L"The application was unable to find a lookup table on the chip.\nPlease check the "
              L"chip is running.  You may need to reset the chip, then\nreconnect.");
}

TEST_F(Tables, AnswerTwoToAMissingKeyListSearchesAgain) {
    // A table of our own at the default place, without entry 31.
    ASSERT_TRUE(chip->WriteMemory(4, 0x0100, {SlTable::MAGIC_TABLE, 0x0140, 0}));
    ASSERT_TRUE(chip->WriteMemory(4, 0x0140, {9, 0x1234, 0, 0}));
    int asked = 0;
    handler.answerFor = [&](const keyward_test::Report& report) {
        if (report.text == L"The lookup table on the chip did not contain the PSKey list.") {
            if (++asked == 2) {
                chip->ClearWrittenMemory();  // the firmware's own table shows again
            }
            return KVCMD_RESPONSE_RETRY;
        }
        return KVCMD_RESPONSE_ABORT;
    };
    EXPECT_TRUE(server->open());
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(server->keys_known());
    EXPECT_TRUE(server->key_exists(0x01F9));
}

}  // namespace
