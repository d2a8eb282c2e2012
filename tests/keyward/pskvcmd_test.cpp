// The KVCMD servers: the frame of every operation, the request bytes each sends, how results are
// read, raw access, and ownership of the transport.
#include "support.h"

namespace {

using keyward_test::ChipTest;
using keyward_test::Response;
using keyward_test::ScriptedTransport;
using kvcmdsim::STORE_FACTORY;
using kvcmdsim::STORE_IMPLEMENTATION;
using kvcmdsim::STORE_ROM;
using kvcmdsim::STORE_TRANSIENT;
using Words = std::vector<uint16_t>;

// A request as logged, with the sequence number (stamped by the transport) cleared.
Words Request(Words words) {
    if (words.size() > 2) {
        words[2] = 0;
    }
    return words;
}

class Servers : public ChipTest {
  protected:
    Words Only() {
        const auto requests = TakeRequests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? Words{} : Request(requests.back());
    }
};

TEST_F(Servers, FirstOperationOpensTheTransportAndLearnsTheKeys) {
    EXPECT_FALSE(server->is_open());
    uint16_t size = 0;
    EXPECT_FALSE(server->pskv_size(0x01F9, &size, false));
    EXPECT_TRUE(server->is_open());
    EXPECT_TRUE(server->keys_known());
    EXPECT_TRUE(server->key_exists(0x01F9)) << "the firmware's key list was read";
    EXPECT_EQ(chip->OpenCount(), 1u);
    server->pskv_size(0x01F9, &size, false);
    EXPECT_EQ(chip->OpenCount(), 1u);
}

TEST_F(Servers, NothingIsSentWhenTheTransportCannotOpen) {
    chip->SetUnreachable(true);
    uint16_t word = 0;
    uint16_t length = 0;
    EXPECT_FALSE(server->pskv_get(0x01F9, &word, 1, &length, false));
    EXPECT_FALSE(server->pskv_set(0x01F9, &word, 1, false));
    EXPECT_FALSE(server->pskv_factory_set());
    EXPECT_FALSE(server->get_connected());
    EXPECT_EQ(chip->TransactCount(), 0u);
}

TEST_F(Servers, FailedDiscoveryClosesTheTransportAgain) {
    chip->SetTableLayout(kvcmdsim::TableLayout{false});
    EXPECT_FALSE(server->open());
    EXPECT_FALSE(server->is_open());
    EXPECT_FALSE(server->keys_known());
    ASSERT_FALSE(handler.reports.empty());
    EXPECT_EQ(handler.reports.back().caption, L"Error reading lookup table");
}

TEST_F(Servers, EachOperationSendsItsRequest) {
    Open();
    server->SetStores(0x0003);
    uint16_t word = 0;
    uint16_t length = 0;
    const uint16_t value[] = {0x0078, 0x9ABC};

    server->pskv_get(0x01F9, &word, 0, &length, false);
    EXPECT_EQ(Only(), (Words{0, 9, 0, 0x7003, 0, 0x01F9, 0, 0x0003, 0}))
        << "max length 0 sends 18 bytes with length field 0";
    server->pskv_get(0x01F9, &word, 3, &length, true);
    EXPECT_EQ(Only(), (Words{0, 11, 0, 0x7003, 0, 0x01F9, 3, 0x0083, 0, 0, 0}));
    server->pskv_set(0x0001, value, 2, false);
    EXPECT_EQ(Only(), (Words{2, 10, 0, 0x7003, 0, 0x0001, 2, 0x0003, 0x0078, 0x9ABC}));
    server->pskv_size(0x01F9, &length, true);
    EXPECT_EQ(Only(), (Words{0, 9, 0, 0x3006, 0, 0x01F9, 0, 0x0083, 0}));
    server->pskv_next(0x0100, &word, false);
    EXPECT_EQ(Only(), (Words{0, 9, 0, 0x3005, 0, 0x0100, 0x0003, 0, 0}));
    server->pskv_next_all(0x0100, &word);
    EXPECT_EQ(Only(), (Words{0, 9, 0, 0x3013, 0, 0x0100, 0, 0, 0}));
    server->pskv_clr(0x01F9, true);
    EXPECT_EQ(Only(), (Words{2, 9, 0, 0x4818, 0, 0x01F9, 0, 0, 0}));
    server->pskv_clrs(0x01F9, false);
    EXPECT_EQ(Only(), (Words{2, 9, 0, 0x500C, 0, 0x01F9, 0x0003, 0, 0}));
    server->pskv_known_key(0x01F9, true);
    EXPECT_EQ(Only(), (Words{0, 9, 0, 0x3006, 0, 0x01F9, 0, 0, 0}));
    server->pskv_factory_set();
    EXPECT_EQ(Only(), (Words{2, 9, 0, 0x000C, 0, 0, 0, 0, 0}));
    server->pskv_factory_restore(false);
    EXPECT_EQ(Only(), (Words{2, 9, 0, 0x400D, 0, 0, 0, 0, 0}));
    server->pskv_factory_restore(true);
    EXPECT_EQ(Only(), (Words{2, 9, 0, 0x400E, 0, 0, 0, 0, 0}));
}

TEST_F(Servers, RawServerForcesRawAccessOnEveryStoreAwareOperation) {
    Bind(std::make_unique<PsKvcmdRaw>(NewTransport()));
    Open();
    uint16_t word = 5;
    uint16_t length = 0;
    server->pskv_get(0x01F9, &word, 1, &length, false);
    EXPECT_EQ(Only()[7], 0x0080);
    server->pskv_set(0x01F9, &word, 1, false);
    EXPECT_EQ(Only()[7], 0x0080);
    server->pskv_size(0x01F9, &length, false);
    EXPECT_EQ(Only()[7], 0x0080);
    server->pskv_next(0, &word, false);
    EXPECT_EQ(Only()[6], 0x0080);
    server->pskv_clrs(0x01F9, false);
    EXPECT_EQ(Only()[6], 0x0080);
    server->pskv_known_key(0x01F9, false);
    EXPECT_EQ(Only(), (Words{0, 9, 0, 0x3006, 0, 0x01F9, 0, 0, 0}))
        << "the known-key question carries no stores word";
}

TEST_F(Servers, GetCopiesAtMostTheWordsAskedForAndReportsTheChipsLength) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0001, {1, 2, 3});
    Open();
    uint16_t data[5] = {9, 9, 9, 9, 9};
    uint16_t length = 0;
    EXPECT_TRUE(server->pskv_get(0x0001, data, 5, &length, false));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(data[2], 3);
    EXPECT_EQ(data[3], 9) << "words the response does not hold are left alone";

    EXPECT_TRUE(server->pskv_get(0x0001, data, 2, &length, false));
    EXPECT_EQ(length, 3) << "the chip's length field, not the words copied";

    EXPECT_TRUE(server->pskv_get(0x0001, nullptr, 0, nullptr, false));
}

TEST(ScriptedServer, ShortResponsesCopyOnlyWhatTheyHold) {
    auto* transport = new ScriptedTransport([](const KVCMD_PDU& request, PDU& response) {
        // One data word but a length field of 4.
        response = Response(request, 0, {request.get_uint16(10), 4}, {0x00AA});
        return 0;
    });
    transport->opened = true;
    PsKvcmd server(transport);
    uint16_t data[4] = {7, 7, 7, 7};
    uint16_t length = 0;
    EXPECT_TRUE(server.pskv_get(0x0001, data, 4, &length, false));
    EXPECT_EQ(data[0], 0x00AA);
    EXPECT_EQ(data[1], 7);
    EXPECT_EQ(length, 4);

    // A response cut short inside its header reads as zeros.
    auto* tiny = new ScriptedTransport([](const KVCMD_PDU&, PDU& response) {
        const uint8_t bytes[] = {1, 0, 2, 0};
        response = PDU(2, bytes, 4);
        return 0;
    });
    tiny->opened = true;
    PsKvcmd small(tiny);
    EXPECT_TRUE(small.pskv_get(0x0001, data, 4, &length, false));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(data[0], 0x00AA);
    uint16_t next = 9;
    EXPECT_TRUE(small.pskv_next_all(0, &next));
    EXPECT_EQ(next, 0);
}

TEST_F(Servers, SizeIsTrueOnlyForStatusZeroButAlwaysReadsTheLength) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0001, {1, 2, 3, 4});
    Open();
    uint16_t length = 99;
    EXPECT_TRUE(server->pskv_size(0x0001, &length, false));
    EXPECT_EQ(length, 4);
    EXPECT_FALSE(server->pskv_size(0x0002, &length, false));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(handler.reports.empty()) << "an absent key is no error";
}

TEST_F(Servers, KnownKeyAsksTheFirmwareNotTheStores) {
    Open();
    EXPECT_TRUE(server->pskv_known_key(0x01F9, false)) << "known, without a value";
    chip->RemoveFirmwareKeys({0x01F9, 0x01F9});
    EXPECT_FALSE(server->pskv_known_key(0x01F9, false));
}

TEST_F(Servers, NextKeyInTheSelectedStoresAndInAnyStore) {
    chip->SetKey(STORE_FACTORY, 0x0010, {1});
    chip->SetKey(STORE_ROM, 0x0008, {1});
    Open();
    uint16_t next = 0;
    EXPECT_TRUE(server->pskv_next_all(0, &next));
    EXPECT_EQ(next, 0x0008);
    server->SetStores(STORE_FACTORY);
    EXPECT_TRUE(server->pskv_next(0, &next, false));
    EXPECT_EQ(next, 0x0010);
    EXPECT_TRUE(server->pskv_next(0x0010, &next, false));
    EXPECT_EQ(next, 0);
    EXPECT_TRUE(server->pskv_next(0, nullptr, false));
}

TEST_F(Servers, MemoryOutsideSpaceFourIsRefusedWithoutARequest) {
    Open();
    uint16_t word = 0;
    EXPECT_TRUE(server->read_mem(GenericPointer{4, 2 * 0x0100}, 1, &word));
    EXPECT_EQ(word, SlTable::MAGIC_TABLE);
    chip->ResetCounters();
    EXPECT_FALSE(server->read_mem(GenericPointer{2, 0x0200}, 1, &word));
    EXPECT_EQ(chip->TransactCount(), 0u);
    EXPECT_TRUE(handler.reports.empty());
}

TEST_F(Servers, PassThroughOperations) {
    chip->SetFirmwareId(4120, L"Plus firmware");
    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "on");
    chip->SetLayerA(true);
    Open();
    int id = 0;
    uint16_t name[8] = {};
    EXPECT_TRUE(server->get_firmware_id(&id, name, 8));
    EXPECT_EQ(id, 4120);
    EXPECT_EQ(name[0], u'P');
    EXPECT_EQ(name[6], u'i');
    EXPECT_EQ(name[7], 0) << "cut to the capacity with a final 0";
    EXPECT_STREQ(server->getvar("SPIDEBUG_REPRODUCIBLE"), "on");
    EXPECT_STREQ(server->getvar("UNSET"), "");
    EXPECT_TRUE(server->is_layer_a_supported());
    SlTable* table = nullptr;
    EXPECT_TRUE(server->get_slt(table, false));
    EXPECT_NE(table, nullptr);
    EXPECT_FALSE(server->pskv_clrb(0x01F9));
    EXPECT_TRUE(server->supports_stores());
    EXPECT_EQ(server->NumBootmodes(), 0);
    server->SetBootmode(0);
    EXPECT_EQ(server->GetBootmode(), PsServer::NoBootmode());
}

TEST_F(Servers, ResetAndCloseLeavesItClosedUntilTheNextOperation) {
    chip->SetKey(STORE_TRANSIENT, 0x01F9, {7});
    Open();
    EXPECT_TRUE(server->reset_kv(kvcmdsim::RESET_WARM));
    EXPECT_TRUE(server->is_open());
    EXPECT_FALSE(chip->GetKey(STORE_TRANSIENT, 0x01F9)) << "a reset clears the transient store";
    EXPECT_TRUE(server->reset_kv_and_close(kvcmdsim::RESET_COLD));
    EXPECT_FALSE(server->is_open());
    EXPECT_EQ(chip->ResetCount(), 2u);
    uint16_t size = 0;
    server->pskv_size(0x01F9, &size, false);
    EXPECT_TRUE(server->is_open());
    EXPECT_FALSE(server->reset_kv(99)) << "an unknown reset kind";
}

// Keeps a handle on every request it is given, as a transport that queues requests might.
class KeepingTransport : public ScriptedTransport {
  public:
    KeepingTransport()
        : ScriptedTransport([](const KVCMD_PDU& request, PDU& response) {
              // Memory reads refused: the keys are learnt by walking them, and there are none.
              response = Response(request, request.get_varid() == KVCMD_MEMORY_PDU::VARID
                                               ? KVCMD_PDU::STATUS_ACCESS_DENIED
                                               : KVCMD_PDU::STATUS_OK);
              return 0;
          }) {}
    int transact(const PDU& request, PDU& response) override {
        kept.push_back(request);
        return ScriptedTransport::transact(request, response);
    }
    std::vector<PDU> kept;
};

TEST(ServerRequests, ARequestTheTransportKeepsIsNeverBuiltOver) {
    auto* transport = new KeepingTransport;
    PsKvcmd server(transport);
    ASSERT_TRUE(server.open());
    transport->kept.clear();
    transport->requests.clear();
    uint16_t size = 0;
    uint16_t word = 0;
    uint16_t length = 0;
    server.pskv_size(0x01F9, &size, false);
    server.pskv_get(0x0205, &word, 1, &length, false);
    server.pskv_clr(0x0300, false);
    ASSERT_EQ(transport->kept.size(), 3u);
    EXPECT_EQ(KVCMD_PSSIZE_PDU(transport->kept[0]).get_key(), 0x01F9);
    EXPECT_EQ(KVCMD_PS_PDU(transport->kept[1]).get_key(), 0x0205);
    EXPECT_EQ(KVCMD_PS_PDU(transport->kept[1]).get_varid(), KVCMD_PS_PDU::VARID);
    EXPECT_EQ(KVCMD_PSCLR_PDU(transport->kept[2]).get_key(), 0x0300);
    EXPECT_FALSE(transport->kept[0].shares_body(transport->kept[1]));
    for (size_t i = 0; i < transport->requests.size(); ++i) {
        EXPECT_EQ(std::vector<uint8_t>(transport->kept[i].data(),
                                       transport->kept[i].data() + transport->kept[i].size()),
                  transport->requests[i])
            << "request " << i << " changed after it was sent";
    }
}

TEST(ServerWithoutTransport, EverythingFailsQuietly) {
    PsKvcmd server;
    uint16_t word = 0;
    EXPECT_FALSE(server.pskv_get(1, &word, 1, &word, false));
    EXPECT_FALSE(server.open());
    EXPECT_FALSE(server.is_open());
    EXPECT_FALSE(server.close());
    EXPECT_FALSE(server.is_layer_a_supported());
    EXPECT_EQ(server.get_error_handler(), nullptr);
    EXPECT_STREQ(server.getvar("SPIDEBUG_REPRODUCIBLE"), "");
    SlTable* table = nullptr;
    EXPECT_FALSE(server.get_slt(table, true));
}

// Counts how often it is destroyed.
class CountedTransport : public ScriptedTransport {
  public:
    explicit CountedTransport(int& destroyed)
        : ScriptedTransport([](const KVCMD_PDU&, PDU&) { return 1; }), mDestroyed(destroyed) {}
    ~CountedTransport() override { ++mDestroyed; }

  private:
    int& mDestroyed;
};

TEST(ServerOwnership, CopiesShareTheTransportAndDestroyItOnce) {
    int destroyed = 0;
    {
        auto* transport = new CountedTransport(destroyed);
        PsKvcmd original(transport);
        PsKvcmd copy(original);
        PsKvcmdRaw other(nullptr);
        other = PsKvcmdRaw(new CountedTransport(destroyed));
        EXPECT_EQ(destroyed, 0) << "the temporary's copy keeps the transport alive";
        static_cast<PsKvcmd&>(other) = copy;
        EXPECT_EQ(destroyed, 1) << "the transport other held is gone with its last owner";
        EXPECT_EQ(copy.GetTrans(), transport);
        EXPECT_EQ(other.GetTrans(), transport);
    }
    EXPECT_EQ(destroyed, 2);
}

TEST(ServerOwnership, SetTransHandsTheOldTransportBack) {
    int destroyed = 0;
    auto* first = new CountedTransport(destroyed);
    {
        PsKvcmd server(first);
        PsKvcmd copy(server);
        server.SetTrans(new CountedTransport(destroyed));
        EXPECT_EQ(copy.GetTrans(), first);
    }
    EXPECT_EQ(destroyed, 1) << "only the new transport was destroyed";
    delete first;
    EXPECT_EQ(destroyed, 2);
}

TEST(ServerCopies, CopyKnownKeySetAndSettings) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    ASSERT_TRUE(server.open());
    server.SetStores(0x0011);
    auto copy = std::make_unique<PsKvcmd>(server);
    EXPECT_EQ(copy->GetStores(), 0x0011);
    EXPECT_TRUE(copy->keys_known());
    EXPECT_TRUE(copy->key_exists(0x01F9));
    copy.reset();
    EXPECT_TRUE(server.key_exists(0x01F9)) << "the copy's set was its own";
    EXPECT_TRUE(server.is_open());
}

}  // namespace
