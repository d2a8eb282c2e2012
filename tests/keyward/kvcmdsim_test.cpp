// The simulated chip: stores, firmware, memory, faults, counters and chip images.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using keyward_test::ChipTest;
using keyward_test::Response;
using namespace kvcmdsim;
using Words = std::vector<uint16_t>;

class Chip : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        Open();
    }
    // Sends a PDU through the transport as it is and returns the response.
    KVCMD_PDU Send(const PDU& request) {
        PDU response;
        EXPECT_EQ(transport->transact(request, response), 0);
        return KVCMD_PDU(response);
    }
    uint16_t Status(const PDU& request) { return Send(request).get_status(); }
};

TEST_F(Chip, ReadsSearchTheStoresInOrderWithinTheSelection) {
    chip->SetKey(STORE_DEFAULTS, 0x0100, {4});
    chip->SetKey(STORE_ROM, 0x0100, {10});
    chip->SetKey(STORE_FACTORY, 0x0100, {2});
    chip->SetKey(STORE_IMPLEMENTATION, 0x0100, {1});
    chip->SetKey(STORE_TRANSIENT, 0x0100, {8});
    EXPECT_EQ(chip->ReadKey(0x0100), (Words{8}));
    EXPECT_EQ(chip->ReadKey(0x0100, STORE_ROM | STORE_DEFAULTS), (Words{10}));
    uint16_t value = 0;
    for (const auto& [stores, expected] : std::vector<std::pair<uint16_t, uint16_t>>{
             {0, 8}, {0x001F, 8}, {0x0007, 1}, {0x0006, 2}, {0x0014, 10}, {0x0004, 4}}) {
        keys.SetStores(stores);
        EXPECT_TRUE(keys.pskv_get_uint16(0x0100, value));
        EXPECT_EQ(value, expected) << stores;
    }
}

TEST_F(Chip, WritesGoToTheFirstWritableSelectedStore) {
    const uint16_t word = 7;
    EXPECT_TRUE(server->pskv_set(0x0100, &word, 1, false));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 0x0100), (Words{7}));
    server->SetStores(STORE_FACTORY | STORE_ROM);
    EXPECT_TRUE(server->pskv_set(0x0100, &word, 1, false));
    EXPECT_EQ(chip->GetKey(STORE_FACTORY, 0x0100), (Words{7}));
    server->SetStores(STORE_ROM | STORE_DEFAULTS);
    EXPECT_TRUE(server->pskv_set(0x0100, &word, 1, false));
    EXPECT_EQ(handler.get_last_error_code(), 5);
    EXPECT_STREQ(handler.get_last_error_text(), L"The chip reports 'Read only'.");
}

TEST_F(Chip, PresentationAccessResolvesFieldsUnlessRaw) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0191, {0x01D8, 0x00A8});
    uint16_t word = 0;
    uint16_t length = 0;
    EXPECT_TRUE(server->pskv_size(0x0205, &length, false));
    EXPECT_EQ(length, 1);
    EXPECT_TRUE(server->pskv_get(0x0205, &word, 1, &length, false));
    EXPECT_EQ(word, 0x00A8);
    EXPECT_FALSE(server->pskv_size(0x0205, &length, true)) << "raw access sees no such key";

    word = 0x0006;
    EXPECT_TRUE(server->pskv_set(0x0205, &word, 1, false));
    EXPECT_EQ(chip->ReadKey(0x0191), (Words{0x01D8, 0x0006}));
    word = 1;
    EXPECT_TRUE(server->pskv_set(0x03FC, &word, 1, false));
    EXPECT_EQ(chip->ReadKey(0x0191), (Words{0x01D8, 0x0007}));
}

TEST_F(Chip, TheFirmwareKeyListNamesThePresentationKeysItResolves) {
    // As a real firmware's list does: a host then knows the chip has PSKEY_UART_CONFIG.
    EXPECT_TRUE(server->key_exists(0x0205));
    EXPECT_TRUE(server->key_exists(0x03FC));
    EXPECT_TRUE(server->key_exists(0x01F9));
    const std::vector<KeyRange> ranges = chip->FirmwareKeys();
    EXPECT_TRUE(std::any_of(ranges.begin(), ranges.end(), [](const KeyRange& r) {
        return r.first <= 0x0205 && 0x0205 <= r.last;
    }));

    // A chip built without them, for hosts that must do without.
    chip->RemoveFirmwareKeys({0x0205, 0x0205});
    ASSERT_TRUE(server->open());
    EXPECT_FALSE(server->key_exists(0x0205));
    EXPECT_TRUE(server->key_exists(0x03FC));
}

TEST_F(Chip, FirmwareKeyRangesMergeAndSplitAsKeysComeAndGo) {
    using Ranges = std::vector<KeyRange>;
    chip->SetFirmwareKeys(
        {{0x0010, 0x0012}, {0x0005, 0x0008}, {0x0009, 0x0009}, {0x0011, 0x0020}, {0x0030, 0x002F}});
    EXPECT_EQ(chip->FirmwareKeys(), (Ranges{{0x0005, 0x0009}, {0x0010, 0x0020}}))
        << "overlapping and touching ranges merge; a range that ends before it starts is empty";
    chip->AddFirmwareKeys({0x000A, 0x000F});
    EXPECT_EQ(chip->FirmwareKeys(), (Ranges{{0x0005, 0x0020}}));
    chip->RemoveFirmwareKeys({0x0007, 0x0008});
    chip->RemoveFirmwareKeys({0x0020, 0x0030});
    EXPECT_EQ(chip->FirmwareKeys(), (Ranges{{0x0005, 0x0006}, {0x0009, 0x001F}}));
    chip->SetKey(STORE_IMPLEMENTATION, 0x0008, {1});
    EXPECT_EQ(chip->FirmwareKeys(), (Ranges{{0x0005, 0x0006}, {0x0008, 0x001F}}))
        << "a stored key joins the range it touches";
    chip->AddFirmwareKeys({0xFFF0, 0xFFFF});
    chip->RemoveFirmwareKeys({0x0001, 0xFFFE});
    EXPECT_EQ(chip->FirmwareKeys(), (Ranges{{0xFFFF, 0xFFFF}}));

    // The chip answers by the edited list, and its key list in memory names it.
    chip->SetFirmwareKeys({{0x0100, 0x0102}, {0x0104, 0x0104}});
    ASSERT_TRUE(server->open());
    for (uint16_t key : {0x0100, 0x0102, 0x0104}) {
        EXPECT_TRUE(server->key_exists(key)) << key;
    }
    for (uint16_t key : {0x00FF, 0x0103, 0x0105}) {
        EXPECT_FALSE(server->key_exists(key)) << key;
    }
    const uint16_t word = 7;
    EXPECT_TRUE(server->pskv_set(0x0102, &word, 1, false));
    EXPECT_EQ(chip->ReadKey(0x0102), (Words{7}));
    EXPECT_TRUE(server->pskv_set(0x0103, &word, 1, false));
    EXPECT_EQ(handler.get_last_error_code(), 3) << "access denied";
    EXPECT_FALSE(chip->ReadKey(0x0103));
}

TEST_F(Chip, KeysTheFirmwareDoesNotKnow) {
    const uint16_t word = 1;
    EXPECT_TRUE(server->pskv_set(0x2700, &word, 1, false));
    EXPECT_EQ(handler.get_last_error_code(), 3);
    EXPECT_FALSE(chip->ReadKey(0x2700));
    uint16_t length = 5;
    EXPECT_FALSE(server->pskv_size(0x2700, &length, false));
    EXPECT_FALSE(server->pskv_known_key(0x2700, false));
    EXPECT_EQ(handler.get_last_error_code(), 0) << "a size question is answered quietly";
    EXPECT_TRUE(server->pskv_clr(0x2700, false));
    EXPECT_EQ(handler.get_last_error_code(), 3);
}

TEST_F(Chip, DeletesAndFactorySettings) {
    chip->SetKey(STORE_TRANSIENT, 0x0100, {8});
    chip->SetKey(STORE_IMPLEMENTATION, 0x0100, {1});
    chip->SetKey(STORE_FACTORY, 0x0100, {2});
    EXPECT_TRUE(keys.pskv_clr(0x0100));
    EXPECT_EQ(chip->ReadKey(0x0100), (Words{2})) << "the factory value shows again";
    keys.pskv_clr(0x0100);
    EXPECT_EQ(handler.get_last_error_code(), 0) << "nothing left to delete: quiet status 8";

    chip->SetKey(STORE_IMPLEMENTATION, 0x0100, {1});
    keys.SetStores(STORE_FACTORY);
    EXPECT_TRUE(keys.pskv_clrs(0x0100));
    EXPECT_EQ(chip->ReadKey(0x0100), (Words{1}));
    keys.SetStores(STORE_ROM);
    keys.pskv_clrs(0x0100);
    EXPECT_EQ(handler.get_last_error_code(), 5) << "read only";
    keys.SetStores(0);

    chip->SetKey(STORE_IMPLEMENTATION, 0x0101, {11});
    EXPECT_TRUE(keys.pskv_factory_set());
    EXPECT_EQ(chip->GetKey(STORE_FACTORY, 0x0101), (Words{11}));
    chip->SetKey(STORE_IMPLEMENTATION, 0x0101, {12});
    chip->SetKey(STORE_IMPLEMENTATION, 0x0102, {13});
    EXPECT_TRUE(keys.pskv_factory_restore(false));
    EXPECT_EQ(chip->ReadKey(0x0101), (Words{11}));
    EXPECT_EQ(chip->ReadKey(0x0102), (Words{13})) << "no factory value: kept";
    EXPECT_TRUE(keys.pskv_factory_restore(true));
    EXPECT_FALSE(chip->ReadKey(0x0102));
    EXPECT_TRUE(chip->KeysIn(STORE_IMPLEMENTATION).empty());
}

TEST_F(Chip, WriteProtectionRefusesPsWrites) {
    chip->SetWriteProtected(true);
    EXPECT_TRUE(keys.pskv_set_uint16(0x01F9, 2));
    EXPECT_STREQ(handler.get_last_error_text(), L"The chip reports 'Permission denied'.");
    EXPECT_FALSE(chip->ReadKey(0x01F9));
    EXPECT_TRUE(keys.pskv_factory_set());
    EXPECT_EQ(handler.get_last_error_code(), 5);
}

TEST_F(Chip, MalformedAndUnknownRequests) {
    KVCMD_PDU unknown(0x7777, KVCMD_PDU::TYPE_GET_REQ);
    EXPECT_EQ(Status(unknown), KVCMD_PDU::STATUS_NO_SUCH_VARID);

    KVCMD_PS_PDU badLength(KVCMD_PDU::TYPE_GET_REQ, 0x01F9, 1, 0);
    badLength.set_uint16(KVCMD_PDU::OFFSET_LENGTH, 3);
    EXPECT_EQ(Status(badLength), KVCMD_PDU::STATUS_BAD_PDU);

    KVCMD_PS_PDU badType(5, 0x01F9, 1, 0);
    EXPECT_EQ(Status(badType), KVCMD_PDU::STATUS_BAD_PDU);

    const uint8_t shortBytes[] = {0, 0, 5, 0, 0, 0, 3, 0x70, 0, 0};
    EXPECT_EQ(Status(PDU(2, shortBytes, 10)), KVCMD_PDU::STATUS_BAD_PDU);

    KVCMD_PS_PDU missingWords(KVCMD_PDU::TYPE_SET_REQ, 0x01F9, 1, 0);
    missingWords.set_len(5);
    EXPECT_EQ(Status(missingWords), KVCMD_PDU::STATUS_BAD_PDU);

    EXPECT_EQ(Status(KVCMD_PSCLR_PDU(0x01F9)), KVCMD_PDU::STATUS_ERROR);
    KVCMD_PSCLR_PDU clearAsGet(0x01F9);
    clearAsGet.set_type(KVCMD_PDU::TYPE_GET_REQ);
    EXPECT_EQ(Status(clearAsGet), KVCMD_PDU::STATUS_WRITE_ONLY);
    KVCMD_PSSIZE_PDU sizeAsSet(0x01F9, 0);
    sizeAsSet.set_type(KVCMD_PDU::TYPE_SET_REQ);
    EXPECT_EQ(Status(sizeAsSet), KVCMD_PDU::STATUS_READ_ONLY);

    PDU otherChannel(3, 18);
    PDU response;
    EXPECT_EQ(transport->transact(otherChannel, response), 2) << "nobody answers channel 3";
}

TEST_F(Chip, ResponsesEchoTheSequenceNumberAndAreTrimmedToTheValue) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0100, {1, 2});
    KVCMD_PS_PDU request(KVCMD_PDU::TYPE_GET_REQ, 0x0100, 10, 0);
    const KVCMD_PS_PDU reply(Send(request));
    EXPECT_EQ(reply.get_type(), KVCMD_PDU::TYPE_GET_RESP);
    EXPECT_EQ(reply.get_len(), 2);
    EXPECT_EQ(reply.size(), 20);
    EXPECT_EQ(reply.get_length(), 10);
    EXPECT_NE(reply.get_seq_no(), 0);
    EXPECT_EQ(request.get_seq_no(), 0) << "the caller's request is not stamped";
}

TEST_F(Chip, AResponseTheCallerStillHoldsIsNeverBuiltOver) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0100, {1, 2});
    const KVCMD_PDU held = Send(KVCMD_PS_PDU(KVCMD_PDU::TYPE_GET_REQ, 0x0100, 2, 0));
    const std::vector<uint8_t> bytes(held.data(), held.data() + held.size());
    uint16_t sequence = held.get_seq_no();
    for (uint16_t key = 0x0100; key < 0x0110; ++key) {
        const KVCMD_PDU size = Send(KVCMD_PSSIZE_PDU(key, 0));
        EXPECT_FALSE(size.shares_body(held));
        EXPECT_EQ(size.get_varid(), KVCMD_PSSIZE_PDU::VARID);
        // Each response names the next sequence number, the one its request carried on the
        // link, as the request log shows.
        const std::vector<uint8_t> sent = chip->RequestLog().back();
        EXPECT_EQ(size.get_seq_no(), ++sequence);
        EXPECT_EQ(sent[KVCMD_PDU::OFFSET_SEQ_NO] | sent[KVCMD_PDU::OFFSET_SEQ_NO + 1] << 8,
                  sequence);
    }
    EXPECT_EQ(std::vector<uint8_t>(held.data(), held.data() + held.size()), bytes);
    EXPECT_EQ(KVCMD_PS_PDU(held).get_len(), 2);
}

TEST_F(Chip, RequestCountsPerKeyStayExactAsTheyGrowAndAfterAReset) {
    const auto send = [&](uint16_t first) {
        for (uint16_t key = first; key < first + 1000; ++key) {
            for (int i = 0; i < key % 3 + 1; ++i) {
                Send(KVCMD_PSSIZE_PDU(key, 0));
            }
        }
    };
    const auto expectCounts = [&](uint16_t first) {
        uint64_t total = 0;
        for (uint16_t key = first; key < first + 1000; ++key) {
            ASSERT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID, key), key % 3 + 1u) << key;
            EXPECT_EQ(chip->RequestCount(KVCMD_PS_PDU::VARID, key), 0u);
            total += key % 3 + 1u;
        }
        EXPECT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID), total);
    };
    chip->ResetCounters();
    send(1);
    expectCounts(1);
    chip->ResetCounters();
    EXPECT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID, 1), 0u);
    EXPECT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID), 0u);
    send(0xF000);
    expectCounts(0xF000);
    EXPECT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID, 1), 0u) << "forgotten by the reset";
}

TEST_F(Chip, OversizedRequestsAndResponsesAreTooBig) {
    chip->SetMaxPduWords(20);
    uint16_t data[16] = {};
    uint16_t length = 0;
    EXPECT_TRUE(server->pskv_get(0x01F9, data, 16, &length, false));
    EXPECT_STREQ(handler.get_last_error_text(), L"The chip reports 'KVCMD too big'.");

    // Short get requests asking for more words than a response of 20 words can carry.
    chip->SetKey(STORE_IMPLEMENTATION, 0x0100, Words(15, 7));
    KVCMD_PS_PDU read(KVCMD_PDU::TYPE_GET_REQ, 0x0100, 1, 0);
    read.set_len(15);
    EXPECT_EQ(Status(read), KVCMD_PDU::STATUS_TOO_BIG);
    read.set_len(12);
    const KVCMD_PS_PDU fits(Send(read));
    EXPECT_EQ(fits.get_status(), KVCMD_PDU::STATUS_OK);
    EXPECT_EQ(fits.data_words(), 12);
    EXPECT_EQ(fits.get_len(), 15) << "the whole length, as ever";

    KVCMD_MEMORY_PDU memory(KVCMD_PDU::TYPE_GET_REQ, 0x0100, 1);
    memory.set_len(13);
    EXPECT_EQ(Status(memory), KVCMD_PDU::STATUS_TOO_BIG);
    memory.set_len(12);
    EXPECT_EQ(Status(memory), KVCMD_PDU::STATUS_OK);
    memory.set_len(0xFF00);
    EXPECT_EQ(Status(memory), KVCMD_PDU::STATUS_TOO_BIG) << "not 130 KB of words";
}

TEST_F(Chip, MemoryProbeSecurityAndTheFirmwareTables) {
    chip->SetChipWords(0x2E00, 0x0022, 0x0003);
    uint16_t words[3] = {};
    ASSERT_TRUE(transport->read_mem(GenericPointer{4, 2 * 0xFF9A}, 3, words));
    EXPECT_EQ(words[0], 0x2E00);
    EXPECT_EQ(words[1], 0x0022);
    EXPECT_EQ(words[2], 0x0003);

    // The lookup table at byte 0x0200 of space 4 points with entry 31 at the key list.
    SlTable table(transport);
    ASSERT_TRUE(table.locate(0, false));
    ASSERT_TRUE(table.has_entry(31));
    chip->SetFirmwareKeys({{0x0001, 0x0003}, {0x0100, 0x0100}});
    uint16_t list[6] = {};
    ASSERT_TRUE(chip->ReadMemory(4, table.entry_value(31), 6, list));
    EXPECT_EQ(Words(list, list + 6), (Words{1, 3, 0x0100, 0x0100, 0, 0}));

    chip->SetSymbol(9, 0x1234);
    ASSERT_TRUE(table.locate(0, true));
    EXPECT_EQ(table.entry_value(9), 0x1234u);

    chip->SetSecure(true);
    EXPECT_FALSE(transport->read_mem(GenericPointer{4, 0x200}, 1, words));
    EXPECT_FALSE(chip->DebugRead(4, 0x100, 1, words));
    chip->SetSecure(false);

    chip->AddMemorySpace(2, 0x100);
    ASSERT_TRUE(chip->WriteMemory(2, 0x00FE, {0xAAAA, 0xBBBB}));
    EXPECT_FALSE(chip->WriteMemory(2, 0x00FF, {1, 2}));
    EXPECT_TRUE(transport->read_mem(GenericPointer{2, 2 * 0xFE}, 2, words));
    EXPECT_EQ(words[1], 0xBBBB);
    EXPECT_FALSE(transport->read_mem(GenericPointer{2, 2 * 0xFF}, 2, words));
    EXPECT_FALSE(transport->read_mem(GenericPointer{3, 0}, 1, words)) << "no space 3";
    EXPECT_FALSE(transport->read_mem(GenericPointer{4, 1}, 1, words)) << "odd byte address";
}

TEST_F(Chip, WrittenWordsTakePrecedenceOverTheFirmwaresOwn) {
    ASSERT_TRUE(chip->WriteMemory(4, 0xFF9A, {0x1234}));
    chip->SetChipWords(0x5555, 0, 0);
    uint16_t word = 0;
    ASSERT_TRUE(chip->ReadMemory(4, 0xFF9A, 1, &word));
    EXPECT_EQ(word, 0x1234);
    chip->ClearWrittenMemory();
    ASSERT_TRUE(chip->ReadMemory(4, 0xFF9A, 1, &word));
    EXPECT_EQ(word, 0x5555);

    // KVCMD memory writes land among the written words.
    KVCMD_MEMORY_PDU write(KVCMD_PDU::TYPE_SET_REQ, 0x8000, 2);
    const uint16_t data[] = {0xCAFE, 0xF00D};
    write.set_data(data, 2);
    EXPECT_EQ(Status(write), 0);
    ASSERT_TRUE(chip->ReadMemory(4, 0x8001, 1, &word));
    EXPECT_EQ(word, 0xF00D);
}

TEST_F(Chip, FaultSwitchesAndCounters) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x01F9, {3});
    uint16_t value = 0;
    chip->FailRequests(KVCMD_PS_PDU::VARID, 0x01F9, KVCMD_PDU::STATUS_NO_VALUE, 2);
    keys.pskv_get_uint16(0x01F9, value);
    keys.pskv_get_uint16(0x01F9, value);
    EXPECT_EQ(handler.reports.size(), 2u);
    EXPECT_TRUE(keys.pskv_get_uint16(0x01F9, value));
    EXPECT_EQ(value, 3);
    EXPECT_EQ(chip->RequestCount(KVCMD_PS_PDU::VARID, 0x01F9), 3u);
    EXPECT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID, 0x01F9), 3u);
    EXPECT_EQ(chip->RequestCount(KVCMD_PSSIZE_PDU::VARID), 3u);

    chip->SetSilent(true);
    EXPECT_FALSE(keys.pskv_get_uint16(0x01F9, value));
    chip->ClearFaults();
    chip->SetRequestDelay(std::chrono::microseconds(100));
    EXPECT_TRUE(keys.pskv_get_uint16(0x01F9, value));
    chip->SetUnreachable(true);
    server->close();
    EXPECT_FALSE(server->open());
    chip->ClearFaults();
    EXPECT_TRUE(server->open());
    EXPECT_EQ(chip->OpenCount(), 1u) << "counted since the fixture opened";

    chip->ResetCounters();
    EXPECT_EQ(chip->TransactCount(), 0u);
    EXPECT_TRUE(chip->RequestLog().empty());
    EXPECT_EQ(chip->OverlappingTransacts(), 0u);
}

TEST_F(Chip, TheRequestLogKeepsTheLast256OldestFirstAcrossResets) {
    const auto keyOf = [](const std::vector<uint8_t>& request) {
        return static_cast<uint16_t>(request[KVCMD_PDU::OFFSET_PAYLOAD0] |
                                     request[KVCMD_PDU::OFFSET_PAYLOAD0 + 1] << 8);
    };
    // Requests of different lengths, so that a reused buffer must take each one's own size.
    const auto send = [&](uint16_t first, uint16_t count) {
        chip->ResetCounters();
        for (uint16_t key = first; key < first + count; ++key) {
            Send(KVCMD_PS_PDU(KVCMD_PDU::TYPE_GET_REQ, key, key % 7 + 1, 0));
        }
    };
    send(1, 300);
    auto log = chip->RequestLog();
    ASSERT_EQ(log.size(), 256u);
    for (size_t i = 0; i < log.size(); ++i) {
        const uint16_t key = static_cast<uint16_t>(300 - 256 + 1 + i);
        EXPECT_EQ(keyOf(log[i]), key);
        EXPECT_EQ(log[i].size(), static_cast<size_t>(KVCMD_PDU::OFFSET_DATA + 2 * (key % 7 + 1)));
    }
    send(1000, 3);
    log = chip->RequestLog();
    ASSERT_EQ(log.size(), 3u) << "a reset forgets the requests before it";
    EXPECT_EQ(keyOf(log[0]), 1000);
    EXPECT_EQ(keyOf(log[2]), 1002);
}

TEST_F(Chip, TransportSettings) {
    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "ON");
    const char* value = transport->getvar("SPIDEBUG_REPRODUCIBLE");
    EXPECT_STREQ(value, "ON");
    chip->RemoveVar("SPIDEBUG_REPRODUCIBLE");
    EXPECT_STREQ(transport->getvar("SPIDEBUG_REPRODUCIBLE"), "");
    EXPECT_STREQ(transport->getvar(nullptr), "");

    uint16_t name[2] = {0x7777, 0x7777};
    int id = 5;
    chip->SetFirmwareId(-3, L"xyz");
    EXPECT_TRUE(transport->get_firmware_id(&id, name, 1));
    EXPECT_EQ(id, -3);
    EXPECT_EQ(name[0], 0);
    EXPECT_EQ(name[1], 0x7777);
    EXPECT_TRUE(transport->get_firmware_id(nullptr, nullptr, 0));
    transport->close();
    EXPECT_FALSE(transport->get_firmware_id(&id, name, 2)) << "closed";
    PDU response;
    EXPECT_EQ(transport->transact(KVCMD_PSSIZE_PDU(1, 0), response), 1);
}

// ---- chip images

class Image : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvcmdsim_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/chip.img";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void Write(const std::string& text) {
        std::ofstream out(path);
        out << text;
    }
    std::string Read() {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string LoadError(const std::string& text) {
        Write(text);
        SimChip chip;
        std::string error;
        EXPECT_FALSE(chip.Load(path, &error));
        return error;
    }

    std::string dir;
    std::string path;
};

TEST_F(Image, SaveAndLoadKeepEverythingButTheTransientStore) {
    {
        SimChip chip;
        chip.SetKey(STORE_IMPLEMENTATION, 0x01F9, {3});
        chip.SetKey(STORE_FACTORY, 0x0001, {0x0078, 0x9ABC, 0x0056, 0x1234});
        chip.SetKey(STORE_ROM, 0x0002, {});
        chip.SetKey(STORE_TRANSIENT, 0x0003, {9});
        chip.SetFirmwareId(4120, L"Plus firmware 3.1");
        chip.SetChipWords(0x2E00, 0x0022, 0);
        chip.SetSecure(true);
        chip.SetLayerA(true);
        chip.SetMaxPduWords(512);
        chip.SetVar("SPIDEBUG_REPRODUCIBLE", "ON");
        chip.SetVar("OTHER", "two words");
        chip.AddMemorySpace(2, 0x9000);
        ASSERT_TRUE(chip.WriteMemory(2, 0x0100, {0xD397, 0x0012, 0}));
        chip.SetSymbol(9, 0x00AB);
        std::string error;
        ASSERT_TRUE(chip.Save(path, &error)) << error;
    }
    const std::string text = Read();
    EXPECT_NE(text.find("store 0001\n&01f9 = 0003\n"), std::string::npos) << text;
    EXPECT_NE(text.find("&0001 = 0078 9abc 0056 1234\n"), std::string::npos);
    EXPECT_NE(text.find("firmware-keys default\n"), std::string::npos);
    EXPECT_EQ(text.find("&0003"), std::string::npos) << "the transient store is not kept";

    SimChip loaded;
    std::string error;
    ASSERT_TRUE(loaded.Load(path, &error)) << error;
    EXPECT_EQ(loaded.GetKey(STORE_FACTORY, 0x0001), (Words{0x0078, 0x9ABC, 0x0056, 0x1234}));
    EXPECT_EQ(loaded.GetKey(STORE_ROM, 0x0002), Words{});
    EXPECT_FALSE(loaded.GetKey(STORE_TRANSIENT, 0x0003));
    EXPECT_EQ(loaded.FirmwareId(), 4120);
    EXPECT_EQ(loaded.FirmwareName(), L"Plus firmware 3.1");
    EXPECT_TRUE(loaded.Secure());
    EXPECT_TRUE(loaded.LayerA());
    EXPECT_EQ(loaded.Var("OTHER"), "two words");
    EXPECT_FALSE(loaded.HasUnsavedChanges());
    uint16_t words[3] = {};
    ASSERT_TRUE(loaded.ReadMemory(2, 0x0100, 3, words));
    EXPECT_EQ(words[1], 0x0012);
    ASSERT_TRUE(loaded.ReadMemory(4, 0xFF9A, 1, words));
    EXPECT_EQ(words[0], 0x2E00);

    ASSERT_TRUE(loaded.Save(path + ".2", &error));
    std::ifstream second(path + ".2");
    std::stringstream again;
    again << second.rdbuf();
    EXPECT_EQ(again.str(), text) << "saving a loaded image gives the same file";
}

TEST_F(Image, ExplicitFirmwareKeysAndPresentationFields) {
    Write(
        "# a hand-written chip\n"
        "firmware-keys 0001-0003 0100\n"
        "firmware-keys 0200\n"
        "presentation 0300 0001 4 2\n"
        "table 4 0080 0090 5000\n"
        "store 0001\n"
        "  &1 = 00f 1234\n"
        "&0400 =\n"
        "end\n");
    SimChip chip;
    std::string error;
    ASSERT_TRUE(chip.Load(path, &error)) << error;
    EXPECT_EQ(chip.FirmwareKeys(),
              (std::vector<KeyRange>{{1, 3}, {0x100, 0x100}, {0x200, 0x200}, {0x400, 0x400}}))
        << "a stored key becomes known";
    EXPECT_EQ(chip.GetKey(STORE_IMPLEMENTATION, 1), (Words{0x000F, 0x1234}));
    EXPECT_EQ(chip.GetTableLayout().header, 0x0080u);

    auto shared = std::make_shared<SimChip>();
    ASSERT_TRUE(shared->Load(path, &error));
    PsKvcmd server(new SimTransport(shared));
    CKeyWarder keys(&server);
    uint16_t field = 0;
    uint16_t length = 0;
    ASSERT_TRUE(server.pskv_get(0x0300, &field, 1, &length, false));
    EXPECT_EQ(field, 0);
    EXPECT_EQ(length, 1);
    EXPECT_TRUE(server.key_exists(0x0200)) << "the table at its new place was found";
}

TEST_F(Image, AWholeKeyRangeIsOneLine) {
    Write("firmware-keys 0001-ffff\nfirmware-keys 0100-0200\nend\n");
    SimChip chip;
    ASSERT_TRUE(chip.Load(path));
    EXPECT_EQ(chip.FirmwareKeys(), (std::vector<KeyRange>{{0x0001, 0xFFFF}}));
    chip.RemoveFirmwareKeys({0x0100, 0x0100});
    ASSERT_TRUE(chip.Save(path));
    EXPECT_NE(Read().find("firmware-keys 0001-00ff 0101-ffff\n"), std::string::npos) << Read();
}

TEST_F(Image, TheStandardKeyListWithOrWithoutThePresentationKeys) {
    const auto lists = [](const SimChip& chip, uint16_t key) {
        const std::vector<KeyRange> ranges = chip.FirmwareKeys();
        return std::any_of(ranges.begin(), ranges.end(),
                           [key](const KeyRange& r) { return r.first <= key && key <= r.last; });
    };
    // Images written before the list named the presentation keys say "default" too.
    Write("firmware-keys default\nend\n");
    SimChip standard;
    ASSERT_TRUE(standard.Load(path));
    EXPECT_TRUE(lists(standard, 0x0205));
    EXPECT_TRUE(lists(standard, 0x01F9));

    Write("firmware-keys ordinary\nfirmware-keys 0205\nend\n");
    SimChip one;
    ASSERT_TRUE(one.Load(path));
    EXPECT_TRUE(lists(one, 0x0205));
    EXPECT_FALSE(lists(one, 0x03FC));

    Write("firmware-keys ordinary\nend\n");
    SimChip ordinary;
    ASSERT_TRUE(ordinary.Load(path));
    EXPECT_FALSE(lists(ordinary, 0x0205));
    EXPECT_TRUE(lists(ordinary, 0x01F9));
    ordinary.SetKey(STORE_IMPLEMENTATION, 0x01F9, {2});
    ASSERT_TRUE(ordinary.Save(path));
    EXPECT_NE(Read().find("firmware-keys ordinary\n"), std::string::npos) << Read();
}

TEST_F(Image, TablePlacementsAreKept) {
    Write(
        "chip-words 0040 0022 0000\n"
        "memory-space 22 10000\n"
        "memory-space 2 10000\n"
        "table 22 0300 0000 4000\n"
        "table-form extended\n"
        "table-redirect 2 0400\n"
        "table-pointer f84b\n"
        "end\n");
    auto chip = std::make_shared<SimChip>();
    std::string error;
    ASSERT_TRUE(chip->Load(path, &error)) << error;
    const TableLayout layout = chip->GetTableLayout();
    EXPECT_EQ(layout.form, TableLayout::EXTENDED);
    EXPECT_EQ(layout.space, 0x22u);
    EXPECT_EQ(layout.redirect_space, 2u);
    EXPECT_EQ(layout.redirect_at, 0x0400u);
    EXPECT_EQ(layout.pointer_at, 0xF84Bu);

    // The MVT4120 finds its table through the pointer and the redirection.
    SimTransport transport(chip);
    ASSERT_TRUE(transport.open(0));
    SlTable* table = nullptr;
    ASSERT_TRUE(transport.get_slt(table, false));
    ASSERT_TRUE(table->locate(0, false));
    EXPECT_TRUE(table->is_extended());
    EXPECT_STREQ(transport.Identity().record().name, "MVT4120");

    ASSERT_TRUE(chip->Save(path + ".2", &error)) << error;
    SimChip again;
    ASSERT_TRUE(again.Load(path + ".2", &error)) << error;
    EXPECT_EQ(again.GetTableLayout().form, TableLayout::EXTENDED);
    EXPECT_EQ(again.GetTableLayout().pointer_at, 0xF84Bu);
    EXPECT_EQ(again.GetTableLayout().redirect_at, 0x0400u);

    EXPECT_EQ(LoadError("table-form round\n"),
              path + ": line 1: table-form needs plain, short, fixed or extended");
    EXPECT_EQ(LoadError("table-redirect 0 1\n"),
              path +
                  ": line 1: table-redirect needs a space of 1 to ff and a word address of at "
                  "most 7fffff (hex), or none");
    EXPECT_EQ(LoadError("table-pointer ffff\n"),
              path + ": line 1: table-pointer needs a word address of at most fffe (hex), or none");
}

TEST_F(Image, LoadErrorsNameTheLineAndLeaveTheChipAlone) {
    EXPECT_EQ(LoadError("store 0001\n&01f9 = 12345\n"),
              path + ": line 2: invalid word '12345' (one to four hex digits)");
    EXPECT_EQ(LoadError("&01f9 = 1\n"), path + ": line 1: a key line comes before any store line");
    EXPECT_EQ(LoadError("\n\nstore 0008\n"),
              path + ": line 3: the transient store (0008) is not kept in an image");
    EXPECT_EQ(LoadError("bogus 1\n"), path + ": line 1: unknown directive 'bogus'");
    EXPECT_EQ(LoadError("store 0001\n&0 = 1\n"), path + ": line 2: invalid key '0'");
    EXPECT_EQ(LoadError("secure maybe\n"), path + ": line 1: secure needs on or off");
    EXPECT_EQ(LoadError("firmware-keys 0010-0001\n"),
              path + ": line 1: invalid key range '0010-0001'");
    EXPECT_EQ(LoadError("mem 4 ffff 1 2\n"),
              path + ": line 1: mem words lie outside memory space 4");
    EXPECT_EQ(LoadError("max-pdu-words 3\n"),
              path + ": line 1: max-pdu-words needs a decimal number from 9 to 65535");
    EXPECT_EQ(LoadError(std::string("\x01\xff\x00zz", 5)),
              path + ": line 1: unknown directive '" + std::string("\x01\xff\x00zz", 5) + "'");

    SimChip blanks;
    EXPECT_TRUE(blanks.LoadText("\v\n \f \n\tvar\vNAME\tvalue here\r\n end \n"));
    EXPECT_EQ(blanks.Var("NAME"), "value here");

    SimChip chip;
    chip.SetKey(STORE_IMPLEMENTATION, 0x01F9, {5});
    Write("store 0001\n&01f9 = 6\nbroken\n");
    EXPECT_FALSE(chip.Load(path));
    EXPECT_EQ(chip.GetKey(STORE_IMPLEMENTATION, 0x01F9), (Words{5}));
    std::string error;
    EXPECT_FALSE(chip.Load(dir + "/missing.img", &error));
    EXPECT_EQ(error, "cannot open " + dir + "/missing.img: No such file or directory");
}

TEST_F(Image, AnImageThatCannotBeReadIsNotTakenForABlankChip) {
    std::string error;
    SimChip chip;
    EXPECT_FALSE(chip.Load(dir, &error));
    EXPECT_EQ(error, dir + " is a folder, not a file");
    EXPECT_FALSE(chip.AttachImage(dir, &error));
    EXPECT_EQ(chip.ImagePath(), "");
    EXPECT_FALSE(chip.HasUnsavedChanges());
}

TEST_F(Image, ACutOrEmptyImageIsRefusedWhereverItEnds) {
    SimChip chip;
    for (uint16_t key = 1; key <= 40; ++key) {
        chip.SetKey(STORE_IMPLEMENTATION, key, {key, 0x1234});
    }
    ASSERT_TRUE(chip.Save(path));
    const std::string whole = Read();
    ASSERT_EQ(whole.substr(whole.size() - 4), "end\n");
    // Every length short of the whole is refused. Cut in the middle of a line, the line may be
    // wrong on its own; cut at a line end, only the missing end line tells.
    for (size_t length = 0; length + 4 <= whole.size(); ++length) {
        const std::string error = LoadError(whole.substr(0, length));
        ASSERT_EQ(error.rfind(path + ": ", 0), 0u) << length << ": " << error;
        if (length == 0) {
            EXPECT_EQ(error, path + ": the image is empty");
        } else if (whole[length - 1] == '\n' && length > whole.find("image-format")) {
            EXPECT_EQ(error, path + ": the image ends before its end line: it was cut short")
                << length;
        }
    }
    EXPECT_EQ(LoadError(whole + "store 0001\n"),
              path + ": line " + std::to_string(std::count(whole.begin(), whole.end(), '\n') + 1) +
                  ": text after the end line");
    EXPECT_NE(LoadError(whole + std::string(100, '\0')).find("text after the end line"),
              std::string::npos);
    Write(whole + "\n# a comment after the end\n  \n");
    SimChip loaded;
    std::string error;
    ASSERT_TRUE(loaded.Load(path, &error)) << error;
    EXPECT_EQ(loaded.GetKey(STORE_IMPLEMENTATION, 40), (Words{40, 0x1234}));
}

TEST_F(Image, AnImageWithoutAFormatLineNeedsNoEndLineButAWholeLastLine) {
    // As images were written before they had a format and an end line, and as one is written by
    // hand.
    const std::string old = "# kvcmdsim chip image\nfirmware-id 4120\nstore 0001\n&0003 = 0007\n";
    Write(old);
    SimChip chip;
    std::string error;
    ASSERT_TRUE(chip.Load(path, &error)) << error;
    EXPECT_EQ(chip.GetKey(STORE_IMPLEMENTATION, 3), (Words{7}));
    EXPECT_EQ(LoadError(old.substr(0, old.size() - 3)),
              path + ": the image ends in the middle of a line: it was cut short");
    EXPECT_EQ(LoadError("# kvcmdsim chip image\n"),
              path + ": the image holds only comments: it is empty or was cut short");
    EXPECT_EQ(LoadError("image-format 3\nend\n"),
              path + ": line 1: the image is of format 3; this program reads format 2");
    // Saved again, it gets both lines.
    ASSERT_TRUE(chip.Save(path));
    EXPECT_EQ(Read().find("# kvcmdsim chip image\nimage-format 2\n"), 0u);
}

TEST_F(Image, OnlyARegularFileIsLoaded) {
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    SimChip chip;
    std::string error;
    EXPECT_FALSE(chip.Load(path, &error));  // at once: nothing waits for a writer
    EXPECT_EQ(error, path + " is not a regular file");
    EXPECT_FALSE(chip.AttachImage(path, &error));
}

TEST_F(Image, FieldsAndKeysInAnyOrderLoadAlike) {
    // Many presentation fields and firmware keys in descending order, with repeats: the later
    // line of a key wins.
    std::string text = "presentation 0300 0001 0 1\npresentation none\n";
    char line[64];
    for (int key = 0xF000; key >= 0x1001; --key) {
        std::snprintf(line, sizeof line, "presentation %04x 0001 %d 1\n", key, key % 16);
        text += line;
    }
    text += "presentation 2000 0002 3 4\nfirmware-keys 0001\n";
    for (int key = 0xFFFE; key >= 0x8000; key -= 2) {
        std::snprintf(line, sizeof line, "firmware-keys %04x\n", key);
        text += line;
    }
    text += "firmware-keys 0003 0002\nstore 0001\n&9001 = 1\n&0004 = 2\nend\n";
    Write(text);
    auto chip = std::make_shared<SimChip>();
    std::string error;
    ASSERT_TRUE(chip->Load(path, &error)) << error;

    const std::vector<KeyRange> keys = chip->FirmwareKeys();
    // 0001-0004, then every other key from 8000 on, with 9001 joining 9000 and 9002.
    ASSERT_EQ(keys.size(), 1u + 0x4000u - 1u);
    EXPECT_EQ(keys[0], (KeyRange{1, 4}));
    EXPECT_EQ(keys[1], (KeyRange{0x8000, 0x8000}));
    EXPECT_NE(std::find(keys.begin(), keys.end(), KeyRange{0x9000, 0x9002}), keys.end());
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end(), [](const KeyRange& a, const KeyRange& b) {
        return a.last < b.first;
    }));

    ASSERT_TRUE(chip->Save(path + ".2", &error)) << error;
    SimChip again;
    ASSERT_TRUE(again.Load(path + ".2", &error)) << error;
    EXPECT_EQ(again.FirmwareKeys(), keys);
    std::ifstream saved(path + ".2");
    std::stringstream savedText;
    savedText << saved.rdbuf();
    const std::string image = savedText.str();
    EXPECT_EQ(image.find("presentation 0300"), std::string::npos) << "cleared by none";
    EXPECT_NE(image.find("presentation 1001 0001 1 1\npresentation 1002 0001 2 1\n"),
              std::string::npos);
    EXPECT_NE(image.find("presentation 2000 0002 3 4\n"), std::string::npos) << "the later wins";
    EXPECT_NE(image.find("presentation f000 0001 0 1\n"), std::string::npos);
}

TEST_F(Image, SavesAreAtomicAndKeepTheFileMode) {
    SimChip chip;
    ASSERT_TRUE(chip.Save(path));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    chip.SetKey(STORE_IMPLEMENTATION, 0x01F9, {1});
    ASSERT_TRUE(chip.Save(path));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++files;
    }
    EXPECT_EQ(files, 1u) << "no temporary file is left behind";

    std::string error;
    EXPECT_FALSE(chip.Save(dir + "/no/such/dir/chip.img", &error));
    EXPECT_NE(error.find("cannot save chip image"), std::string::npos) << error;
}

TEST_F(Image, AttachedImageIsCreatedAndFlushedWhenTheTransportCloses) {
    auto chip = std::make_shared<SimChip>();
    ASSERT_TRUE(chip->AttachImage(path));
    EXPECT_EQ(chip->ImagePath(), path);
    {
        PsKvcmd server(new SimTransport(chip));
        CKeyWarder keys(&server);
        ASSERT_TRUE(keys.pskv_set_uint16(0x01F9, 2));
        ASSERT_TRUE(server.close());
        EXPECT_FALSE(chip->HasUnsavedChanges());
        EXPECT_NE(Read().find("&01f9 = 0002"), std::string::npos);
        ASSERT_TRUE(keys.pskv_set_uint16(0x01F9, 3));
    }
    EXPECT_NE(Read().find("&01f9 = 0003"), std::string::npos) << "flushed when the server went";

    auto reopened = std::make_shared<SimChip>();
    ASSERT_TRUE(reopened->AttachImage(path));
    EXPECT_EQ(reopened->ReadKey(0x01F9), (Words{3}));

    // A failed save is reported when the transport closes.
    keyward_test::RecordingHandler handler;
    auto lost = std::make_shared<SimChip>();
    ASSERT_TRUE(lost->AttachImage(dir + "/gone/chip.img"));
    SimTransport transport(lost);
    transport.set_error_handler(&handler);
    ASSERT_TRUE(transport.open(0));
    EXPECT_FALSE(transport.close());
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].caption, L"Simulated chip");
    lost->AttachImage(path);  // lets the chip's destructor save somewhere real
}

}  // namespace
