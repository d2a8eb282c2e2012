// The error handler's record, its worst response and the wide-text conversions.
#include "support.h"

#include <clocale>

namespace {

using keyward_test::RecordingHandler;

TEST(ErrorHandler, RecordsTheLastErrorAndTheAnswerGivenToIt) {
    RecordingHandler handler;
    handler.reply = KVCMD_RESPONSE_RETRY;
    EXPECT_EQ(handler.on_error(L"first", L"caption", 3, 0), KVCMD_RESPONSE_RETRY);
    handler.reply = KVCMD_RESPONSE_IGNORE;
    EXPECT_EQ(handler.on_error(L"second", L"caption", 5, 2), KVCMD_RESPONSE_IGNORE);

    ASSERT_NE(handler.get_last_error_text(), nullptr);
    EXPECT_STREQ(handler.get_last_error_text(), L"second");
    EXPECT_EQ(handler.get_last_error_code(), 5);
    EXPECT_EQ(handler.get_last_error_type(), 2);
    EXPECT_EQ(handler.get_last_response(), KVCMD_RESPONSE_IGNORE);
    ASSERT_EQ(handler.reports.size(), 2u);
    EXPECT_EQ(handler.reports[0].caption, L"caption");
}

TEST(ErrorHandler, LastResponseIsOneWhileTheAnswerIsObtained) {
    RecordingHandler handler;
    kvcmd_trans_error_response seen = -1;
    handler.answerFor = [&](const keyward_test::Report&) {
        seen = handler.get_last_response();
        return KVCMD_RESPONSE_NONE;
    };
    handler.on_error(L"text", L"caption", 3, 0);
    EXPECT_EQ(seen, KVCMD_RESPONSE_ABORT);
    EXPECT_EQ(handler.get_last_response(), KVCMD_RESPONSE_NONE);
}

TEST(ErrorHandler, InformationalMessagesAreAnsweredButNotRecorded) {
    RecordingHandler handler;
    handler.on_error(L"error", L"caption", 3, 0);
    handler.reply = KVCMD_RESPONSE_RETRY;
    EXPECT_EQ(handler.on_error(L"Dumped key 1, address", L"Operation performed", 0, -1),
              KVCMD_RESPONSE_RETRY);
    EXPECT_STREQ(handler.get_last_error_text(), L"error");
    EXPECT_EQ(handler.get_last_error_code(), 3);
    EXPECT_EQ(handler.reports.size(), 2u);
    // The answer still counts towards the worst response.
    EXPECT_EQ(handler.get_worst_response(), KVCMD_RESPONSE_RETRY);
}

TEST(ErrorHandler, WorstResponseFollowsTheSeverityRanks) {
    // Ranks: 1 above 4 above 2 above 0 and 3.
    EXPECT_EQ(kvcmd_trans_error_handler::severity(1), 3);
    EXPECT_EQ(kvcmd_trans_error_handler::severity(4), 2);
    EXPECT_EQ(kvcmd_trans_error_handler::severity(2), 1);
    EXPECT_EQ(kvcmd_trans_error_handler::severity(0), 0);
    EXPECT_EQ(kvcmd_trans_error_handler::severity(3), 0);
    EXPECT_EQ(kvcmd_trans_error_handler::severity(7), -1);

    RecordingHandler handler;
    const auto answer = [&](kvcmd_trans_error_response r) {
        handler.reply = r;
        handler.on_error(L"e", L"c", 3, 0);
        return handler.get_worst_response();
    };
    EXPECT_EQ(answer(3), 3);  // equal rank to 0 replaces it
    EXPECT_EQ(answer(2), 2);
    EXPECT_EQ(answer(0), 2);
    EXPECT_EQ(answer(4), 4);
    EXPECT_EQ(answer(2), 4);
    EXPECT_EQ(answer(1), 1);
    EXPECT_EQ(answer(4), 1);
    EXPECT_EQ(answer(9), 1) << "answers outside 0..4 never become the worst";

    handler.clear_worst_response();
    EXPECT_EQ(handler.get_worst_response(), 0);
    EXPECT_EQ(handler.get_last_error_code(), 3) << "clearing the worst keeps the record";
    EXPECT_EQ(answer(3), 3);
    EXPECT_EQ(answer(0), 0) << "0 replaces 3 as well: the ranks are equal";
    handler.on_error(L"note", L"c", 0, -1);
    EXPECT_EQ(handler.get_worst_response(), 0) << "a progress note answered 0 leaves it 0";
}

TEST(ErrorHandler, ResetForgetsTheRecordButKeepsTheType) {
    RecordingHandler handler;
    handler.reply = KVCMD_RESPONSE_ABORT;
    handler.on_error(L"text", L"caption", 5, 2);
    handler.reset();
    EXPECT_EQ(handler.get_last_error_text(), nullptr);
    EXPECT_EQ(handler.get_last_error_code(), 0);
    EXPECT_EQ(handler.get_last_response(), 0);
    EXPECT_EQ(handler.get_worst_response(), 0);
    EXPECT_EQ(handler.get_last_error_type(), 2);
}

TEST(ErrorHandler, BaseAnswerAbortsRecordedErrorsWithACode) {
    kvcmd_trans_error_handler handler;
    EXPECT_EQ(handler.on_error(L"t", L"c", 3, 0), KVCMD_RESPONSE_ABORT);
    EXPECT_EQ(handler.on_error(L"t", L"c", 0, 0), KVCMD_RESPONSE_NONE);
    EXPECT_EQ(handler.on_error(L"t", L"c", 3, -1), KVCMD_RESPONSE_NONE);
}

TEST(ErrorHandler, CopiesOwnTheirText) {
    auto original = std::make_unique<kvcmd_trans_error_handler>();
    original->on_error(L"kept", L"c", 3, 0);
    kvcmd_trans_error_handler copy(*original);
    kvcmd_trans_error_handler assigned;
    assigned = *original;
    original.reset();
    EXPECT_STREQ(copy.get_last_error_text(), L"kept");
    EXPECT_STREQ(assigned.get_last_error_text(), L"kept");
}

TEST(ErrorHandler, NullTextIsRecordedAsNoText) {
    RecordingHandler handler;
    handler.on_error(nullptr, nullptr, 3, 0);
    EXPECT_EQ(handler.get_last_error_text(), nullptr);
    EXPECT_EQ(handler.get_last_error_code(), 3);
}

TEST(WideText, ConvertsThroughTheLocaleOrFallsBackToLowBytes) {
    EXPECT_EQ(keyward::Narrow(L"PSKEY_BDADDR"), "PSKEY_BDADDR");
    EXPECT_EQ(keyward::Narrow(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(keyward::Widen("Altered key"), L"Altered key");
    EXPECT_EQ(keyward::Widen(static_cast<const char*>(nullptr)), L"");

    // The "C" locale cannot convert characters above 0x7F: each low byte is taken instead.
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(keyward::Narrow(L"a\u00e9\u0142"), std::string("a\xe9\x42"));
    EXPECT_EQ(keyward::Widen("b\xe9"), std::wstring(L"b\u00e9"));
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_EQ(keyward::Narrow(L"\u00e9"), "\xc3\xa9");
        EXPECT_EQ(keyward::Widen("\xc3\xa9"), L"\u00e9");
    }
    std::setlocale(LC_CTYPE, previous.c_str());
}

TEST(TransportException, CarriesItsTextAndCode) {
    const kvcmd_trans_exception e(L"link lost", 7);
    EXPECT_STREQ(e.get_text(), L"link lost");
    EXPECT_EQ(e.get_code(), 7);
    EXPECT_STREQ(kvcmd_trans_exception(nullptr).get_text(), L"");
}

}  // namespace
