// PTAP messages end to end against the simulated device: request bytes, reply parsing and
// status handling.
#include "quillon_fixture.h"

#include <quillon/ptapmessages.h>

#include <chrono>
#include <clocale>
#include <thread>

namespace {

using namespace comm::ptap;
using namespace testing_quillon;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class Messages : public OnDevice {};

// ---- request bytes ----

TEST_F(Messages, QueriesWriteTheirIdsAndCounters) {
    CQueryHifs hifs;
    EXPECT_TRUE(hifs.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0x10, 0x00}));
    CQueryServices services;
    EXPECT_TRUE(services.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0x11, 0x00}));
    const unsigned short ids[] = {1, 0x0203};
    CQueryStats stats(5, ids, 2);
    EXPECT_TRUE(stats.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0x12, 0x00, 0x05, 0x00, 0x01, 0x00, 0x03, 0x02}));
    CQueryStats none(5, nullptr, 3);  // a null id list counts as none
    none.Send();
    EXPECT_EQ(LastRequest(), (Bytes{0x12, 0x00, 0x05, 0x00}));
}

TEST_F(Messages, ServiceMessagesWriteTheServiceId) {
    CServiceMap map(0x0102);
    CServiceUnmap unmap(0x0102);
    CServiceStart start(0x0102);
    CServiceStop stop(0x0102);
    CServiceAvailable available(0x0102);
    CServiceUnavailable unavailable(0x0102);
    CBasePtapMessage* all[] = {&map, &unmap, &start, &stop, &available, &unavailable};
    const uint8_t expected[] = {0x22, 0x23, 0x24, 0x25, 0x26, 0x27};
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(all[i]->Send()) << "no such service";
        EXPECT_EQ(all[i]->Status(), ptapsim::STATUS_UNKNOWN_SERVICE);
        EXPECT_EQ(LastRequest(), (Bytes{expected[i], 0x00, 0x02, 0x01}));
    }
}

TEST_F(Messages, QueuePairsWriteTheirFieldsInArgumentOrder) {
    CQueuePairAttach attach(1, 2, 3, 0x0a0b0c0d);
    EXPECT_TRUE(attach.Send());
    EXPECT_EQ(LastRequest(),
              (Bytes{0x30, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x0d, 0x0c, 0x0b, 0x0a}));
    CQueuePairDetach detach(1, 2);
    EXPECT_TRUE(detach.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0x31, 0x00, 0x01, 0x00, 0x02, 0x00}));
}

TEST_F(Messages, DataDownWritesThePayloadOnlyWhenThereIsOne) {
    const unsigned char payload[] = {0xaa, 0xbb};
    CDataDown with(7, 1, 2, payload, 2);
    EXPECT_TRUE(with.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0, 0, 7, 0, 1, 0, 2, 0, 0xaa, 0xbb}));
    CDataDown nullPayload(7, 1, 2, nullptr, 5);
    EXPECT_TRUE(nullPayload.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0, 0, 7, 0, 1, 0, 2, 0}));
    CDataDown noLength(7, 1, 2, payload, 0);
    EXPECT_TRUE(noLength.Send());
    EXPECT_EQ(LastRequest(), (Bytes{0, 0, 7, 0, 1, 0, 2, 0}));
}

TEST_F(Messages, TestStartWritesThePrefixedPathUpTo255Characters) {
    CPtestStart fits(9, std::string(251, 'a'));  // 255 characters with the prefix
    EXPECT_TRUE(fits.Send());
    Bytes request = LastRequest();
    ASSERT_EQ(request.size(), 6u + 510u);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 6), (Bytes{0x70, 0, 9, 0, 0xfe, 0x01}));
    EXPECT_EQ(Bytes(request.begin() + 6, request.begin() + 14),
              (Bytes{'\\', 0, '?', 0, '?', 0, '\\', 0}));
    EXPECT_EQ(request[14], 'a');
    EXPECT_EQ(request[15], 0);

    CPtestStart tooLong(9, std::string(252, 'a'));
    EXPECT_FALSE(tooLong.Send()) << "the device refuses an empty path";
    EXPECT_EQ(LastRequest(), (Bytes{0x70, 0, 9, 0, 0, 0}));
}

TEST_F(Messages, TestStartConvertsThePathFromTheLocalesCharacterSet) {
    const std::string path = "\xc3\xa9";  // é in UTF-8
    CPtestStart bytewise(1, path);        // not valid in the "C" locale: one unit per byte
    bytewise.Send();
    Bytes request = LastRequest();
    EXPECT_EQ(Bytes(request.begin() + 4, request.begin() + 6), (Bytes{12, 0}));
    EXPECT_EQ(Bytes(request.end() - 4, request.end()), (Bytes{0xc3, 0, 0xa9, 0}));

    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    CPtestStart converted(1, path);
    std::setlocale(LC_CTYPE, "C");
    EXPECT_TRUE(converted.Send());
    request = LastRequest();
    EXPECT_EQ(Bytes(request.begin() + 4, request.begin() + 6), (Bytes{10, 0}))
        << "the count matches the text written";
    EXPECT_EQ(Bytes(request.end() - 2, request.end()), (Bytes{0xe9, 0}));
}

// ---- reply parsing ----

class Parsing : public OnDevice {
  protected:
    static ptapsim::Config Config() {
        ptapsim::Config config;
        config.hifs = {{1, 0, "X"}, {3, 2, std::string(32, 'n')}};
        config.services = {{5, 0x1234, 0xfffe, 0xff85, 7}, {2, 1, 2, 0x0002, 4}};
        config.counters = {{1, 10}, {2, UINT64_MAX}};
        return config;
    }
    Parsing() : OnDevice(Config()) {}
};

TEST_F(Parsing, HostInterfacesAreWholeRecordsOf36Bytes) {
    CQueryHifs query;
    ASSERT_TRUE(query.Send());
    ASSERT_EQ(query.Hifs().size(), 2u);
    EXPECT_EQ(query.Hifs().at(1).hifName, "X");
    EXPECT_EQ(query.Hifs().at(3).hifKind, 2);
    EXPECT_EQ(query.Hifs().at(3).hifName, std::string(32, 'n')) << "no NUL after 32 characters";

    ptapsim::Fault cut;
    cut.cutTo = 4 + 71;
    Fault(CQueryHifs::MSG_ID, cut);
    ASSERT_TRUE(query.Send());
    EXPECT_EQ(query.Hifs().size(), 1u) << "a 71-byte body holds one whole record";
}

TEST_F(Parsing, ServiceRecordsSplitTheThirdWord) {
    CQueryServices query;
    ASSERT_TRUE(query.Send());
    ASSERT_EQ(query.Services().size(), 2u);
    const auto& s = query.Services().at(5);
    EXPECT_EQ(s.serviceId, 5);
    EXPECT_EQ(s.word1, 0x1234);
    EXPECT_EQ(s.word2, 0xfffe);
    EXPECT_EQ(s.low7, 5);
    EXPECT_TRUE(s.bit7);
    EXPECT_EQ(s.word4, 7);
    EXPECT_FALSE(query.Services().at(2).bit7);
    EXPECT_EQ(query.Services().begin()->first, 2) << "ascending ids";
}

TEST_F(Parsing, StatisticsAreRead64BitAndAShortBodyIsRefused) {
    const unsigned short ids[] = {2, 1};
    CQueryStats query(0, ids, 2);
    ASSERT_TRUE(query.Send());
    EXPECT_EQ(query.Stats().at(1), 10u);
    EXPECT_EQ(query.Stats().at(2), UINT64_MAX);

    ptapsim::Fault cut;
    cut.cutTo = 4 + 15;
    Fault(0x12, cut);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE);
    EXPECT_EQ(LastError(),
              "Invalid response: a statistics body of 15 bytes is shorter than 20 bytes");
    EXPECT_EQ(query.Stats().size(), 1u) << "the whole records are kept";

    ptapsim::Fault status;
    status.status = 5;
    status.cutTo = 4;
    Fault(0x12, status);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), 5u) << "a device failure is not hidden by the empty body";
}

TEST_F(Parsing, DataDownKeepsTheDataUpItBrings) {
    const unsigned char payload[] = {1, 2, 3};
    CDataDown down(7, 2, 9, payload, 3);
    ASSERT_TRUE(down.Send());
    ASSERT_NE(down.Response(), nullptr);
    EXPECT_EQ(down.Response()->Class(), 7);
    EXPECT_EQ(down.Response()->Sid(), 2);
    EXPECT_EQ(down.Response()->ConId(), 9);
    EXPECT_EQ(down.Response()->Payload(), (std::vector<unsigned char>{1, 2, 3}));

    ptapsim::Fault cut;
    cut.cutTo = 7;
    Fault(0x00, cut);
    EXPECT_FALSE(down.Send());
    EXPECT_EQ(down.Status(), CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE);
    EXPECT_EQ(LastError(), "Invalid response: a DATA_UP of 7 bytes is shorter than 8 bytes");
    EXPECT_EQ(down.Response(), nullptr) << "the earlier reply is gone";

    ptapsim::Fault other;
    other.replyId = 0x0002;
    Fault(0x00, other);
    EXPECT_FALSE(down.Send());
    EXPECT_EQ(down.Status(), CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE);
    EXPECT_EQ(LastError(), "Invalid response");

    device.Sim().ClearFaults();
    CDataDown refused(7, 3, 9, payload, 3);  // there is no service 3
    EXPECT_FALSE(refused.Send());
    EXPECT_EQ(refused.Status(), ptapsim::STATUS_UNKNOWN_SERVICE);
    EXPECT_EQ(refused.Response(), nullptr);
}

TEST_F(Parsing, ADataUpIsReceivedOnItsOwn) {
    // The indication goes to the connections open at the time: open the default one first.
    ASSERT_NE(comm::trans::CTransport::Ref().GetDefaultSocket(), nullptr);
    for (int i = 0; i < 500 && device.Sim().OpenConnections() == 0; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    CDataUp up;
    device.Sim().Broadcast({0x01, 0x00, 4, 0, 5, 0, 6, 0, 0xee});
    ASSERT_TRUE(up.Receive());
    EXPECT_EQ(up.Class(), 4);
    EXPECT_EQ(up.Sid(), 5);
    EXPECT_EQ(up.ConId(), 6);
    EXPECT_EQ(up.Payload(), (std::vector<unsigned char>{0xee}));

    CDataUp parsed(reinterpret_cast<const unsigned char*>("\x01\x00\x01"), 3);
    EXPECT_EQ(parsed.Status(), CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE);
    EXPECT_TRUE(parsed.Payload().empty());
}

// ---- status handling ----

TEST_F(Messages, ADeviceStatusFailsTheSendWithoutText) {
    ptapsim::Fault status;
    status.status = 5;
    Fault(CQueryHifs::MSG_ID, status);
    CQueryHifs query;
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), 5u);
    EXPECT_EQ(LastError(), "");

    device.Sim().ClearFaults();
    EXPECT_TRUE(query.Send()) << "a second send replaces the status";
    EXPECT_EQ(query.Status(), 0u);
}

TEST_F(Messages, AResponseToAnotherIdIsAMismatch) {
    ptapsim::Fault other;
    other.replyId = 0x8012;
    Fault(CQueryHifs::MSG_ID, other);
    {
        CQueryHifs query;
        EXPECT_FALSE(query.Send());
        EXPECT_EQ(query.Status(), 0x100u);
        EXPECT_TRUE(query.Hifs().empty());
        Handler(CMessageHandler::GROUP_COMMUNICATION_ERROR).SetErrorMsg(0, "marker");
    }
    EXPECT_EQ(LastError(), "Mismatch response received") << "the destructor clears group 121";
    EXPECT_EQ(Handler(CMessageHandler::GROUP_COMMUNICATION_ERROR).GetErrorMsg(), "");
}

TEST_F(Messages, RepliesTooShortForTheirHeaderAreInvalid) {
    CQueryServices query;
    ptapsim::Fault cut;
    cut.cutTo = 1;
    Fault(CQueryServices::MSG_ID, cut);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), 0x100u);
    EXPECT_EQ(LastError(), "Invalid response: a reply of 1 bytes is shorter than 2 bytes");
    cut.cutTo = 3;
    Fault(CQueryServices::MSG_ID, cut);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(LastError(), "Invalid response: a response of 3 bytes is shorter than 4 bytes");

    ptapsim::Fault indication;
    indication.replyId = 0x0001;
    Fault(CQueryServices::MSG_ID, indication);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), 0x100u);
    EXPECT_EQ(LastError(), "Unexpected indication received");
}

TEST_F(Messages, ASilentDeviceGivesTheTimeoutStatus) {
    ptapsim::Fault silent;
    silent.silent = true;
    Fault(CQueryHifs::MSG_ID, silent);
    CQueryHifs query;
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), CBasePtapMessage::PTAP_STATUS_TIMEOUT);
    EXPECT_EQ(LastError(), "PTAP Message receive timeout");
}

TEST_F(Messages, AReadThatFailsOtherwiseSaysWhatHappened) {
    CQueryHifs query;
    ptapsim::Fault empty;
    empty.cutTo = 0;
    Fault(CQueryHifs::MSG_ID, empty);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), CBasePtapMessage::PTAP_STATUS_TIMEOUT);
    EXPECT_EQ(LastError(),
              "PTAP Message receive failed: Read failed: the device sent an empty message. "
              "Error = 61");

    ptapsim::Fault oversized;
    oversized.padTo = 65536;
    Fault(CQueryHifs::MSG_ID, oversized);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(LastError(),
              "PTAP Message receive failed: Read failed: a reply of 65536 bytes does not fit the "
              "8192-byte buffer. Error = 90");

    ptapsim::Fault hangup;
    hangup.hangup = true;
    Fault(CQueryHifs::MSG_ID, hangup);
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), CBasePtapMessage::PTAP_STATUS_TIMEOUT);
    EXPECT_EQ(LastError(),
              "PTAP Message receive failed: Read failed because the device closed the "
              "connection. Error = 104");
}

TEST_F(Messages, SendWithoutResponseReturnsAtOnce) {
    ptapsim::Fault silent;
    silent.silent = true;
    Fault(CServiceAvailable::MSG_ID, silent);
    CServiceAvailable message(1);
    const auto start = Clock::now();
    EXPECT_TRUE(message.Send(SEND_NO_RESPONSE));
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_TRUE(device.Sim().WaitForRequests(1, 5000));
    EXPECT_EQ(LastRequest(), (Bytes{0x26, 0, 1, 0}));
    CQueryHifs after;
    EXPECT_TRUE(after.Send()) << "nothing was left to be read as its reply";
}

TEST_F(Messages, AWaitingCallerIsReleasedWhenTheTransportShutsDown) {
    ptapsim::Fault silent;
    silent.silent = true;
    Fault(CQueryHifs::MSG_ID, silent);
    comm::ISocket* own = comm::trans::CTransport::Ref().CreateSocket();
    ASSERT_NE(own, nullptr);
    CQueryHifs query;
    bool sent = true;
    std::thread caller([&] { sent = query.Send(*own); });
    ASSERT_TRUE(device.Sim().WaitForRequests(1, 5000));
    const auto start = Clock::now();
    comm::trans::CTransport::Ref().Deinit();
    caller.join();
    // The request in hand is given the stop's 2000 ms wait, then its read is ended.
    EXPECT_LT(Clock::now() - start, 3500ms);
    EXPECT_FALSE(sent);
    EXPECT_EQ(query.Status(), CBasePtapMessage::PTAP_STATUS_TIMEOUT);
    comm::trans::CTransport::Ref().DestroySocket(&own);
}

TEST(MessagesWithoutDevice, SendFailsWithoutADevice) {
    ptapsim::TempDevice elsewhere(ptapsim::Config::Default(), "not-a-device");
    ASSERT_TRUE(elsewhere.Ok());
    setenv("PTAP_INTERFACE_DIR", elsewhere.Dir().c_str(), 1);
    CQueryHifs query;
    EXPECT_FALSE(query.Send());
    EXPECT_EQ(query.Status(), CBasePtapMessage::PTAP_STATUS_SEND_FAILED);
    EXPECT_FALSE(comm::trans::CTransport::Ref().Initialized());
    unsetenv("PTAP_INTERFACE_DIR");
}

}  // namespace
