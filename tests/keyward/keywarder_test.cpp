// Typed key access through CKeyWarder on a simulated chip.
#include "support.h"

#include <memory>

namespace {

using keyward_test::ChipTest;
using keyward_test::RecordingHandler;
using kvcmdsim::STORE_IMPLEMENTATION;
using Words = std::vector<uint16_t>;

constexpr uint16_t kHostInterface = 0x01F9;
constexpr uint16_t kUartBitrate = 0x01EA;
constexpr uint16_t kUartBlock = 0x0191;   // PSKEY_HOSTIO_UART_PS_BLOCK
constexpr uint16_t kStopBits = 0x03FC;    // PSKEY_UART_CONFIG_STOP_BITS: bit 16, width 1
constexpr uint16_t kUartConfig = 0x0205;  // PSKEY_UART_CONFIG: bits 16 to 31
constexpr uint16_t kVarKey = 0x028A;      // PSKEY_USR0, variable length

class Typed : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        Open();
    }
    Words Stored(uint16_t key) { return chip->ReadKey(key).value_or(Words{0xFFFF, 0xFFFF}); }
    uint64_t Writes() { return chip->RequestCount(KVCMD_PS_PDU::VARID) - Reads(); }
    uint64_t Reads() {
        uint64_t reads = 0;
        for (const auto& request : chip->RequestLog()) {
            const auto words = keyward_test::Words(request);
            reads += words[3] == KVCMD_PS_PDU::VARID && words[0] == 0 ? 1 : 0;
        }
        return reads;
    }
    // The length field of the last PS get request.
    uint16_t LastRequested() {
        const auto log = chip->RequestLog();
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            const auto words = keyward_test::Words(*it);
            if (words[3] == KVCMD_PS_PDU::VARID && words[0] == 0) {
                return words[6];
            }
        }
        return 0xFFFF;
    }
};

TEST_F(Typed, Uint32IsStoredMostSignificantWordFirst) {
    ASSERT_TRUE(keys.pskv_set_uint32(kUartBitrate, 0x0001C200));
    EXPECT_EQ(Stored(kUartBitrate), (Words{0x0001, 0xC200}));
    uint32_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint32(kUartBitrate, value));
    EXPECT_EQ(value, 0x0001C200u);
    EXPECT_TRUE(handler.reports.empty());
}

TEST_F(Typed, ShortUint32IsReportedButStillRead) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBitrate, {0x1234});
    uint32_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint32(kUartBitrate, value));
    EXPECT_EQ(value, 0x1234DEADu) << "the missing word reads 0xDEAD";
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].text, L"Incorrect key length, expected 4 bytes, got 2 bytes.");
    EXPECT_EQ(handler.reports[0].caption, L"Error");
    EXPECT_EQ(handler.reports[0].code, 3);
    EXPECT_EQ(handler.reports[0].type, 0);
}

TEST_F(Typed, Uint16ReadsOneWordAndReportsAnEmptyKey) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3, 9});
    uint16_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint16(kHostInterface, value));
    EXPECT_EQ(value, 3);
    EXPECT_EQ(LastRequested(), 1);

    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {});
    EXPECT_TRUE(keys.pskv_get_uint16(kHostInterface, value));
    EXPECT_EQ(value, 0xDEAD);
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].text, L"Incorrect key length, expected 2 bytes, got 0 bytes.");

    handler.reports.clear();
    chip->EraseKey(STORE_IMPLEMENTATION, kHostInterface);
    EXPECT_FALSE(keys.pskv_get_uint16(kHostInterface, value));
    EXPECT_TRUE(handler.reports.empty()) << "a key without a value is no error";

    ASSERT_TRUE(keys.pskv_set_uint16(kHostInterface, 6));
    EXPECT_EQ(Stored(kHostInterface), (Words{6}));
}

TEST_F(Typed, RawReadsAskForWhatFitsAndPrefillUnreadWords) {
    chip->SetKey(STORE_IMPLEMENTATION, kVarKey, {1, 2, 3});
    uint16_t two[2] = {};
    uint16_t length = 0;
    EXPECT_TRUE(keys.pskv_get_raw(kVarKey, two, 2, &length));
    EXPECT_EQ(LastRequested(), 2);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(two[1], 2);

    uint16_t five[5] = {};
    EXPECT_TRUE(keys.pskv_get_raw(kVarKey, five, 5, &length));
    EXPECT_EQ(LastRequested(), 3);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(five[2], 3);
    EXPECT_EQ(five[3], 0xDEAD);
    EXPECT_EQ(five[4], 0xDEAD);
}

TEST_F(Typed, ZeroCapacityWithACallersBufferReadsNothingIntoIt) {
    chip->SetKey(STORE_IMPLEMENTATION, kVarKey, {1, 2, 3});
    uint16_t guard[2] = {0x1111, 0x2222};
    uint16_t length = 77;
    EXPECT_TRUE(keys.pskv_get_raw(kVarKey, guard, 0, &length));
    EXPECT_EQ(LastRequested(), 0);
    EXPECT_EQ(guard[0], 0x1111);
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(keys.pskv_get_raw(kVarKey, static_cast<uint16_t*>(nullptr), 4, &length));
}

TEST_F(Typed, AllocatingReadTakesExactlyTheKeysSize) {
    chip->SetKey(STORE_IMPLEMENTATION, kVarKey, {1, 2, 3, 4, 5, 6, 7});
    uint16_t* buffer = nullptr;
    uint16_t length = 0;
    ASSERT_TRUE(keys.pskv_get_raw(kVarKey, &buffer, 0, &length));
    const std::unique_ptr<uint16_t[]> owned(buffer);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(buffer[6], 7);
    EXPECT_EQ(LastRequested(), 7);

    chip->SetKey(STORE_IMPLEMENTATION, kVarKey, {});
    uint16_t* empty = nullptr;
    ASSERT_TRUE(keys.pskv_get_raw(kVarKey, &empty, 0, &length));
    delete[] empty;
    EXPECT_EQ(length, 0);

    uint16_t* untouched = nullptr;
    EXPECT_FALSE(keys.pskv_get_raw(0x028B, &untouched, 0, &length));
    EXPECT_EQ(untouched, nullptr) << "nothing is allocated for a key without a value";
}

TEST(UntrustedChip, OverlongLengthFieldNeverLeadsBeyondTheBuffer) {
    // A chip that says a key has 2 words, then answers the read with 4 words and a length field
    // of 60000.
    auto* transport =
        new keyward_test::ScriptedTransport([](const KVCMD_PDU& request, PDU& response) {
            if (request.get_varid() == KVCMD_PSSIZE_PDU::VARID) {
                response = keyward_test::Response(request, 0, {request.get_uint16(10), 2});
            } else {
                response = keyward_test::Response(request, 0, {request.get_uint16(10), 60000},
                                                  {1, 2, 3, 4});
            }
            return 0;
        });
    transport->opened = true;
    PsKvcmd server(transport);
    CKeyWarder keys(&server);
    uint16_t* buffer = nullptr;
    uint16_t length = 0;
    ASSERT_TRUE(keys.pskv_get_raw(kVarKey, &buffer, 0, &length));
    const std::unique_ptr<uint16_t[]> owned(buffer);
    EXPECT_EQ(length, 2) << "no more than the words asked for";
    EXPECT_EQ(buffer[1], 2);

    uint16_t value = 0;
    EXPECT_FALSE(keys.pskv_get_bits(kVarKey, value, 40, 4)) << "word 2 lies beyond the value";
}

TEST_F(Typed, BitFieldsReadAndWriteOnlyTheirBits) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0x01D8, 0x00A8, 0x0014});
    uint16_t value = 0;
    EXPECT_TRUE(keys.pskv_get_bits(kUartBlock, value, 19, 1));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(keys.pskv_get_bits(kUartBlock, value, 20, 3));
    EXPECT_EQ(value, 0x2);
    EXPECT_TRUE(keys.pskv_set_bits(kUartBlock, 0x5, 20, 3));
    EXPECT_EQ(Stored(kUartBlock), (Words{0x01D8, 0x00D8, 0x0014}));
    EXPECT_TRUE(keys.pskv_set_bits(kUartBlock, 0xFFFF, 0, 16));
    EXPECT_EQ(Stored(kUartBlock)[0], 0xFFFF);

    EXPECT_FALSE(keys.pskv_get_bits(kUartBlock, value, 48, 4))
        << "a field beyond the value is not read";
}

TEST_F(Typed, EqualFieldIsNotWrittenUnlessReproducible) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0x01D8, 0x0001});
    chip->ResetCounters();
    EXPECT_TRUE(keys.pskv_set_uint16(kStopBits, 1));
    EXPECT_EQ(Writes(), 0u);

    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "on");
    EXPECT_TRUE(keys.pskv_set_uint16(kStopBits, 1));
    EXPECT_EQ(Writes(), 1u);
    EXPECT_EQ(Stored(kUartBlock), (Words{0x01D8, 0x0001}));

    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "OFF");
    EXPECT_TRUE(keys.pskv_set_uint16(kStopBits, 0));
    EXPECT_EQ(Writes(), 2u);
    EXPECT_EQ(Stored(kUartBlock), (Words{0x01D8, 0x0000}));

    // Only "ON" in some case counts; a value that merely starts with it does not.
    for (const char* other : {"O", "ONE", "oN ", "NO", ""}) {
        chip->SetVar("SPIDEBUG_REPRODUCIBLE", other);
        EXPECT_TRUE(keys.pskv_set_uint16(kStopBits, 0));
        EXPECT_EQ(Writes(), 2u) << '"' << other << "\" is not ON";
    }
    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "oN");
    EXPECT_TRUE(keys.pskv_set_uint16(kStopBits, 0));
    EXPECT_EQ(Writes(), 3u);
}

TEST_F(Typed, PresentationKeyWithoutBaseValueIsReportedWithTheBaseKey) {
    EXPECT_FALSE(keys.pskv_set_uint16(kStopBits, 1));
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].text,
              L"Cannot set this presentation key because the base key (0x0191) is not set");
    EXPECT_EQ(handler.reports[0].caption, L"Error");

    handler.reply = KVCMD_RESPONSE_ACCEPT;
    EXPECT_TRUE(keys.pskv_set_uint16(kStopBits, 1)) << "answer 4 counts it as success";

    // A base value too short to hold the field is the same as none.
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0x01D8});
    handler.reply = KVCMD_RESPONSE_NONE;
    EXPECT_FALSE(keys.pskv_set_presentation(kStopBits, 1));
}

TEST_F(Typed, PresentationKeysReadTheirField) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0x01D8, 0x00A8});
    uint16_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint16(kUartConfig, value));
    EXPECT_EQ(value, 0x00A8);
    EXPECT_TRUE(keys.pskv_get_presentation(kStopBits, value));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(keys.pskv_get_presentation(kHostInterface, value)) << "not a presentation key";
    EXPECT_FALSE(keys.pskv_set_presentation(kHostInterface, 1));
}

TEST_F(Typed, PresOrRawChoosesByTheDatabase) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0x01D8, 0x00A8});
    uint16_t buffer[4] = {};
    uint16_t length = 0;
    EXPECT_TRUE(keys.pskv_get_pres_or_raw(kUartConfig, buffer, 4, &length));
    EXPECT_EQ(length, 1);
    EXPECT_EQ(buffer[0], 0x00A8);
    EXPECT_TRUE(keys.pskv_get_pres_or_raw(kUartBlock, buffer, 4, &length));
    EXPECT_EQ(length, 2);
    EXPECT_FALSE(keys.pskv_get_pres_or_raw(kUartConfig, buffer, 0, &length));

    uint16_t* allocated = nullptr;
    EXPECT_TRUE(keys.pskv_get_pres_or_raw(kUartConfig, &allocated, 0, &length));
    const std::unique_ptr<uint16_t[]> owned(allocated);
    EXPECT_EQ(allocated[0], 0x00A8);

    const uint16_t config[] = {0x0006, 0x9999};
    EXPECT_TRUE(keys.pskv_set_pres_or_raw(kUartConfig, config, 2));
    EXPECT_EQ(Stored(kUartBlock), (Words{0x01D8, 0x0006})) << "only the first word counts";
    EXPECT_FALSE(keys.pskv_set_pres_or_raw(kUartConfig, config, 0));
    const uint16_t unknownKeyValue[] = {1, 2};
    EXPECT_TRUE(keys.pskv_set_pres_or_raw(0x2700, unknownKeyValue, 2)) << "an answer came back";
    EXPECT_EQ(handler.get_last_error_code(), 3) << "the firmware does not know 0x2700";
}

TEST_F(Typed, SetIfDifferentSkipsEqualValues) {
    const uint16_t value[] = {1, 2, 3};
    chip->SetKey(STORE_IMPLEMENTATION, kVarKey, {1, 2, 3});
    chip->ResetCounters();
    EXPECT_TRUE(keys.pskv_set_pres_or_raw_if_different(kVarKey, value, 3));
    EXPECT_EQ(Writes(), 0u);
    EXPECT_TRUE(keys.pskv_set_pres_or_raw_if_different(kVarKey, value, 2));
    EXPECT_EQ(Writes(), 1u) << "a different length is a different value";
    EXPECT_EQ(Stored(kVarKey), (Words{1, 2}));
    EXPECT_TRUE(keys.pskv_set_pres_or_raw_if_different(0x028B, value, 1));
    EXPECT_EQ(Writes(), 2u) << "a key without a value is written";

    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "On");
    EXPECT_TRUE(keys.pskv_set_pres_or_raw_if_different(kVarKey, value, 2));
    EXPECT_EQ(Writes(), 3u);
}

TEST_F(Typed, SetIfDifferentDoesNotWriteWhenTheReadWasAborted) {
    chip->FailRequests(KVCMD_PSSIZE_PDU::VARID, kVarKey, KVCMD_PDU::STATUS_ACCESS_DENIED, 3);
    handler.reply = KVCMD_RESPONSE_ABORT;
    const uint16_t value[] = {1};
    chip->ResetCounters();
    EXPECT_FALSE(keys.pskv_set_pres_or_raw_if_different(kVarKey, value, 1));
    EXPECT_EQ(chip->RequestCount(KVCMD_PS_PDU::VARID), 0u);
}

TEST_F(Typed, FragmentedNameIsWrittenInPiecesAndTheRestDeleted) {
    for (uint16_t key = 0x00DC; key <= 0x00ED; ++key) {
        chip->SetKey(STORE_IMPLEMENTATION, key, {0x4141});
    }
    Words name(20);
    for (size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<uint16_t>('a' + i);
    }
    TakeRequests();
    ASSERT_TRUE(keys.set_fragmented_string(0x00DC, name.data(), 20));
    EXPECT_EQ(Stored(0x00EE), (Words{20}));
    EXPECT_EQ(Stored(0x00DC), Words(name.begin(), name.begin() + 14));
    EXPECT_EQ(Stored(0x00DD), Words(name.begin() + 14, name.end()));
    for (uint16_t key = 0x00DE; key <= 0x00ED; ++key) {
        EXPECT_FALSE(chip->ReadKey(key)) << key;
    }
    // Order: length, the two pieces, then the sixteen deletions up to 0x00ED and no further.
    const auto requests = TakeRequests();
    std::vector<std::pair<uint16_t, uint16_t>> sent;  // varid, key
    for (const auto& r : requests) {
        sent.emplace_back(r[3], r[5]);
    }
    ASSERT_EQ(sent.size(), 19u);
    EXPECT_EQ(sent[0], std::make_pair(KVCMD_PS_PDU::VARID, uint16_t{0x00EE}));
    EXPECT_EQ(sent[1], std::make_pair(KVCMD_PS_PDU::VARID, uint16_t{0x00DC}));
    EXPECT_EQ(sent[2], std::make_pair(KVCMD_PS_PDU::VARID, uint16_t{0x00DD}));
    EXPECT_EQ(sent[3], std::make_pair(KVCMD_PSCLR_PDU::VARID, uint16_t{0x00DE}));
    EXPECT_EQ(sent[18], std::make_pair(KVCMD_PSCLR_PDU::VARID, uint16_t{0x00ED}));

    uint16_t buffer[CKeyWarder::LOCAL_NAME_BUFFER_WORDS];
    uint16_t length = 0;
    ASSERT_TRUE(keys.get_fragmented_string(0x00DC, buffer, length));
    EXPECT_EQ(length, 20);
    EXPECT_EQ(Words(buffer, buffer + 20), name);
    EXPECT_EQ(buffer[20], 0);
}

TEST_F(Typed, LongestNameFillsEveryPieceAndLongerNamesAreRefused) {
    Words name(252);
    for (size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<uint16_t>(i);
    }
    ASSERT_TRUE(keys.set_fragmented_string(0x00DC, name.data(), 252));
    EXPECT_EQ(Stored(0x00ED).size(), 14u);
    EXPECT_FALSE(chip->ReadKey(0x00EF));
    uint16_t buffer[CKeyWarder::LOCAL_NAME_BUFFER_WORDS];
    uint16_t length = 0;
    ASSERT_TRUE(keys.get_fragmented_string(0x00DC, buffer, length));
    EXPECT_EQ(Words(buffer, buffer + 252), name);
    EXPECT_EQ(buffer[252], 0);

    Words tooLong(253, 0x41);
    chip->ResetCounters();
    EXPECT_FALSE(keys.set_fragmented_string(0x00DC, tooLong.data(), 253));
    EXPECT_EQ(chip->TransactCount(), 0u) << "nothing of a refused name is written";
    EXPECT_EQ(Stored(0x00EE), (Words{252}));
    EXPECT_FALSE(handler.reports.empty());
}

TEST_F(Typed, FragmentedNameLengthOutOfRangeIsRefused) {
    uint16_t buffer[CKeyWarder::LOCAL_NAME_BUFFER_WORDS];
    uint16_t length = 0;
    chip->SetKey(STORE_IMPLEMENTATION, 0x00EE, {0});
    EXPECT_FALSE(keys.get_fragmented_string(0x00DC, buffer, length));
    chip->SetKey(STORE_IMPLEMENTATION, 0x00EE, {253});
    EXPECT_FALSE(keys.get_fragmented_string(0x00DC, buffer, length));
}

TEST_F(Typed, FragmentedStringOfAnotherKeyIsRaw) {
    const uint16_t data[] = {1, 2};
    ASSERT_TRUE(keys.set_fragmented_string(kVarKey, data, 2));
    EXPECT_EQ(Stored(kVarKey), (Words{1, 2}));
    EXPECT_FALSE(chip->ReadKey(0x00EE));
    uint16_t buffer[16];
    uint16_t length = 0;
    ASSERT_TRUE(keys.get_fragmented_string(kVarKey, buffer, length));
    EXPECT_EQ(length, 2);
    EXPECT_EQ(buffer[2], 0xDEAD);
}

TEST_F(Typed, ForwardingToTheServer) {
    keys.SetStores(0x0008);
    EXPECT_EQ(server->GetStores(), 0x0008);
    EXPECT_EQ(keys.GetStores(), 0x0008);
    keys.SetBootmode(1);
    EXPECT_EQ(keys.GetBootmode(), 0xFFFF);
    EXPECT_EQ(keys.GetErrorHandler(), &handler);

    chip->SetLayerA(true);
    EXPECT_FALSE(keys.IsSupportedLayerA()) << "cached until refreshed";
    keys.RefreshIsSupportedLayerA();
    EXPECT_TRUE(keys.IsSupportedLayerA());

    chip->SetFirmwareId(77, L"fw");
    int id = 0;
    uint16_t name[4];
    EXPECT_TRUE(keys.GetFirmwareId(&id, name, 4));
    EXPECT_EQ(id, 77);

    EXPECT_TRUE(keys.ResetKvAndClose(kvcmdsim::RESET_WARM));
    EXPECT_FALSE(server->is_open());
    EXPECT_TRUE(keys.Reconnect());
    EXPECT_TRUE(keys.ResetKv(kvcmdsim::RESET_WARM));

    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {2});
    EXPECT_TRUE(keys.pskv_factory_set());
    EXPECT_EQ(chip->GetKey(kvcmdsim::STORE_FACTORY, kHostInterface), (Words{2}));
    keys.pskv_set_uint16(kHostInterface, 3);
    EXPECT_TRUE(keys.pskv_factory_restore(false));
    EXPECT_EQ(Stored(kHostInterface), (Words{2}));
    EXPECT_TRUE(keys.pskv_clrs(kHostInterface));
    EXPECT_TRUE(keys.pskv_known_key(kHostInterface));
    EXPECT_FALSE(keys.pskv_clrb(kHostInterface));
}

TEST(Unbound, EveryOperationFailsWithoutAServer) {
    CKeyWarder keys;
    uint16_t word = 0;
    uint32_t wide = 0;
    uint16_t length = 0;
    EXPECT_EQ(keys.GetServer(), nullptr);
    EXPECT_EQ(keys.GetStores(), 0);
    EXPECT_EQ(keys.GetBootmode(), 0xFFFF);
    EXPECT_FALSE(keys.pskv_get_uint16(1, word));
    EXPECT_FALSE(keys.pskv_set_uint16(1, 1));
    EXPECT_FALSE(keys.pskv_get_uint32(1, wide));
    EXPECT_FALSE(keys.pskv_get_raw(1, &word, 1, &length));
    EXPECT_FALSE(keys.pskv_clr(1));
    EXPECT_FALSE(keys.Reconnect());
    EXPECT_FALSE(keys.pskv_set_bits(1, 1, 0, 1)) << "reported to diagnostics, answered abort";
    keys.RefreshIsSupportedLayerA();
    EXPECT_FALSE(keys.IsSupportedLayerA());

    auto chip = std::make_shared<kvcmdsim::SimChip>();
    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CKeyWarder bound(&server);
    CKeyWarder copy(bound);
    EXPECT_EQ(copy.GetServer(), &server);
    copy.ClearServer();
    EXPECT_EQ(copy.GetServer(), nullptr);
    EXPECT_EQ(copy.GetErrorHandler(), nullptr);
}

}  // namespace
