// The request, retry and status rules of kvcmd_trans, seen through a PsKvcmd on a simulated chip.
#include "support.h"

namespace {

using keyward_test::ChipTest;
using keyward_test::RecordingHandler;
using keyward_test::Report;
using keyward_test::Response;
using keyward_test::ScriptedTransport;
using kvcmdsim::STORE_IMPLEMENTATION;

constexpr uint16_t kKey = 0x01F9;  // PSKEY_HOST_INTERFACE
constexpr uint16_t kPs = KVCMD_PS_PDU::VARID;

class TransportRules : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        chip->SetKey(STORE_IMPLEMENTATION, kKey, {3});
        Open();
    }
    bool Get() {
        uint16_t word = 0;
        uint16_t length = 0;
        return server->pskv_get(kKey, &word, 1, &length, false);
    }
    bool Set() {
        const uint16_t word = 4;
        return server->pskv_set(kKey, &word, 1, false);
    }
};

struct StatusCase {
    uint16_t status;
    const wchar_t* text;
    const wchar_t* caption;
    int code;
};

TEST_F(TransportRules, EveryBadStatusOfASetIsReportedOnceWithItsTextCaptionAndCode) {
    const StatusCase cases[] = {
        {2, L"The chip reports 'KVCMD too big'.", L"Communication error", 3},
        {3, L"The chip reports 'No value found'.", L"Communication error", 3},
        {4, L"The chip reports 'Bad PDU'.", L"Communication error", 2},
        {5,
         L"The chip reports 'Access denied'.\nKey may not exist for this version of the firmware.",
         L"Communication error", 3},
        {6, L"The chip reports 'Read only'.", L"Communication error", 5},
        {7, L"The chip reports 'Write only'.", L"Communication error", 5},
        {9, L"The chip reports 'Permission denied'.", L"Communication error", 5},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.status);
        handler.reports.clear();
        chip->ResetCounters();
        // Status 4 is sent again by do_request, so it must come back on every attempt.
        chip->FailRequests(kPs, kKey, c.status, c.status == 4 ? 2 : 1);
        EXPECT_TRUE(Set()) << "a set that got an answer returns true";
        EXPECT_EQ(chip->RequestCount(kPs, kKey), c.status == 4 ? 2u : 1u);
        ASSERT_EQ(handler.reports.size(), 1u);
        EXPECT_EQ(handler.reports[0].text, c.text);
        EXPECT_EQ(handler.reports[0].caption, c.caption);
        EXPECT_EQ(handler.reports[0].code, c.code);
        EXPECT_EQ(handler.reports[0].type, 0);
        EXPECT_EQ(handler.get_last_error_code(), c.code) << "the record tells the caller";
    }
}

TEST_F(TransportRules, GetAnsweredThreeTimesWithNoSuchVaridIsSentThreeTimesWithoutReport) {
    chip->FailRequests(kPs, kKey, 1, 3);
    EXPECT_TRUE(Get());
    EXPECT_EQ(chip->RequestCount(kPs, kKey), 3u);
    EXPECT_TRUE(handler.reports.empty());
    EXPECT_EQ(handler.get_last_error_code(), 0);
}

TEST_F(TransportRules, SetAnsweredWithNoSuchVaridIsSentOnce) {
    chip->FailRequests(kPs, kKey, 1, 3);
    EXPECT_TRUE(Set());
    EXPECT_EQ(chip->RequestCount(kPs, kKey), 1u);
    EXPECT_TRUE(handler.reports.empty());
}

TEST_F(TransportRules, RetryStatusThenSuccessGivesTheSuccessfulResponse) {
    chip->FailRequests(kPs, kKey, 1, 1);
    uint16_t word = 0;
    uint16_t length = 0;
    EXPECT_TRUE(server->pskv_get(kKey, &word, 1, &length, false));
    EXPECT_EQ(word, 3);
    EXPECT_EQ(chip->RequestCount(kPs, kKey), 2u);
}

TEST_F(TransportRules, AccessDeniedOnAGetIsReportedOnEachOfThreePasses) {
    chip->FailRequests(kPs, kKey, 5, -1);
    EXPECT_TRUE(Get());
    EXPECT_EQ(chip->RequestCount(kPs, kKey), 3u);
    EXPECT_EQ(handler.reports.size(), 3u);
}

TEST_F(TransportRules, UnknownStatusOnAGetIsRetriedSilently) {
    chip->FailRequests(kPs, kKey, 12, -1);
    EXPECT_TRUE(Get());
    EXPECT_EQ(chip->RequestCount(kPs, kKey), 3u);
    EXPECT_TRUE(handler.reports.empty());
}

TEST_F(TransportRules, StatusEightIsSilentForPsReadsSizesAndDeletesButReportedForMemoryReads) {
    chip->FailRequests(0, -1, 8, -1);
    EXPECT_TRUE(Get());
    uint16_t size = 0;
    EXPECT_FALSE(server->pskv_size(kKey, &size, false));
    EXPECT_TRUE(server->pskv_clr(kKey, false));
    EXPECT_TRUE(handler.reports.empty());

    uint16_t word = 0;
    EXPECT_FALSE(server->read_mem(GenericPointer{4, 0x200}, 1, &word));
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].text, L"The chip reported a problem processing a command.");
    EXPECT_EQ(handler.reports[0].caption, L"Chip KVCMD error");
    EXPECT_EQ(handler.reports[0].code, 5);
}

TEST_F(TransportRules, TransactFailingWithoutRetryStopsAtOnceAndIsReported) {
    chip->QueueTransactResults({1});
    EXPECT_FALSE(Get());
    EXPECT_EQ(chip->TransactCount(), 1u);
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].text, L"Failed to send or process command");
    EXPECT_EQ(handler.reports[0].caption, L"Communication error");
    EXPECT_EQ(handler.reports[0].code, 2);
}

TEST_F(TransportRules, RetryableTransactFailureIsSentSendAttemptsTimesInOnePass) {
    transport->SetSendAttempts(3);
    chip->QueueTransactResults({2, 2, 2, 2});
    EXPECT_FALSE(Get());
    EXPECT_EQ(chip->TransactCount(), 3u) << "no further pass without a retry status";
    EXPECT_EQ(handler.reports.size(), 1u);

    handler.reports.clear();
    chip->ResetCounters();
    chip->ClearFaults();
    chip->QueueTransactResults({2});
    EXPECT_TRUE(Get()) << "the second attempt gets through";
    EXPECT_EQ(chip->TransactCount(), 2u);
    EXPECT_TRUE(handler.reports.empty());
}

TEST_F(TransportRules, ZeroSendAttemptsCountsAsOne) {
    transport->SetSendAttempts(0);
    EXPECT_TRUE(Get());
    chip->QueueTransactResults({2, 0});
    EXPECT_FALSE(Get());
    EXPECT_EQ(handler.reports.size(), 1u);
}

TEST_F(TransportRules, BadPduIsSentAgainWithinTheAttempts) {
    chip->FailRequests(kPs, kKey, 4, 1);
    EXPECT_TRUE(Get());
    EXPECT_EQ(chip->RequestCount(kPs, kKey), 2u);
    EXPECT_TRUE(handler.reports.empty()) << "the second attempt was fine";
}

TEST_F(TransportRules, PendingMessageIsReportedWhenTheRetriesEndInATransportFailure) {
    chip->FailRequests(kPs, kKey, 1, 1);
    chip->QueueTransactResults({0, 2, 2, 2, 2});
    EXPECT_TRUE(Get()) << "the response of the first pass is what came back";
    EXPECT_EQ(chip->TransactCount(), 5u) << "first pass, then two passes of two attempts";
    ASSERT_EQ(handler.reports.size(), 3u);
    EXPECT_EQ(handler.reports[0].text, L"Failed to send or process command");
    EXPECT_EQ(handler.reports[1].text, L"Failed to send or process command");
    EXPECT_EQ(handler.reports[2].text, L"The chip reports 'No such KVCMD VarID'");
    EXPECT_EQ(handler.reports[2].caption, L"Communication error");
    EXPECT_EQ(handler.reports[2].code, 5);
}

TEST_F(TransportRules, SetErrorHandlerNullRestoresTheDefaultHandler) {
    EXPECT_EQ(server->get_error_handler(), &handler);
    server->set_error_handler(nullptr);
    EXPECT_EQ(server->get_error_handler(), transport->get_default_error_handler());
    chip->FailRequests(kPs, kKey, 6, 1);
    Set();
    EXPECT_EQ(transport->get_default_error_handler()->get_last_error_code(), 5);
    EXPECT_TRUE(handler.reports.empty());
}

TEST_F(TransportRules, ThrownTransportExceptionPassesToTheCaller) {
    chip->QueueException(L"link lost");
    try {
        Get();
        FAIL() << "expected the exception";
    } catch (kvcmd_trans_exception* e) {
        EXPECT_STREQ(e->get_text(), L"link lost");
        delete e;
    }
    EXPECT_TRUE(Get()) << "the server works on afterwards";
}

TEST(SecurityProbe, ReadsOneWordAt0xFF9AOncePerTransport) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    kvcmdsim::SimTransport transport(chip);
    EXPECT_EQ(transport.detectSecurity(), 0) << "nothing is sent while closed";
    EXPECT_EQ(chip->TransactCount(), 0u);

    ASSERT_TRUE(transport.open(0));
    EXPECT_EQ(transport.detectSecurity(), kvcmd_trans::SECURITY_UNLOCKED);
    EXPECT_EQ(transport.detectSecurity(), kvcmd_trans::SECURITY_UNLOCKED);
    EXPECT_EQ(chip->RequestCount(KVCMD_MEMORY_PDU::VARID), 1u);
    const auto request = keyward_test::Words(chip->RequestLog().back());
    EXPECT_EQ(request[0], 0);
    EXPECT_EQ(request[5], 0xFF9A);
    EXPECT_EQ(request[6], 1);
}

TEST(SecurityProbe, SecureChipGivesLockedAndAFailedProbeIsRepeated) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetSecure(true);
    kvcmdsim::SimTransport locked(chip);
    ASSERT_TRUE(locked.open(0));
    EXPECT_EQ(locked.detectSecurity(), kvcmd_trans::SECURITY_LOCKED);

    chip->SetSecure(false);
    kvcmdsim::SimTransport flaky(chip);
    ASSERT_TRUE(flaky.open(0));
    chip->FailRequests(KVCMD_MEMORY_PDU::VARID, -1, 9, 1);
    EXPECT_EQ(flaky.detectSecurity(), kvcmd_trans::SECURITY_UNKNOWN);
    EXPECT_EQ(flaky.detectSecurity(), kvcmd_trans::SECURITY_UNLOCKED);
}

TEST(ScriptedReplies, ResponseChannelZeroMeansNoResponse) {
    // A transport that claims success but leaves the response empty.
    auto* transport = new ScriptedTransport([](const KVCMD_PDU&, PDU&) { return 0; });
    PsKvcmd server(transport);
    transport->opened = true;
    uint16_t word = 0x1111;
    uint16_t length = 0x2222;
    EXPECT_FALSE(server.pskv_get(1, &word, 1, &length, false));
    EXPECT_EQ(word, 0x1111);
    EXPECT_EQ(length, 0x2222);
}

}  // namespace
