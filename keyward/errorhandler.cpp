#include "trace.h"

#include <keyward/errorhandler.h>
#include <keyward/widetext.h>
#include <ostrel/ostrel.h>

#include <cwchar>

namespace {

wchar_t* CopyText(const wchar_t* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const size_t length = std::wcslen(text);
    wchar_t* copy = new wchar_t[length + 1];
    std::wmemcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

kvcmd_trans_error_handler::kvcmd_trans_error_handler()
    : mLastErrorText(nullptr),
      mLastErrorCode(0),
      mLastErrorType(0),
      mLastResponse(0),
      mWorstResponse(0) {}

kvcmd_trans_error_handler::~kvcmd_trans_error_handler() {
    delete[] mLastErrorText;
}

kvcmd_trans_error_handler::kvcmd_trans_error_handler(const kvcmd_trans_error_handler& other)
    : mLastErrorText(CopyText(other.mLastErrorText)),
      mLastErrorCode(other.mLastErrorCode),
      mLastErrorType(other.mLastErrorType),
      mLastResponse(other.mLastResponse),
      mWorstResponse(other.mWorstResponse.load()) {}

kvcmd_trans_error_handler& kvcmd_trans_error_handler::operator=(
    const kvcmd_trans_error_handler& other) {
    if (this != &other) {
        wchar_t* text = CopyText(other.mLastErrorText);
        delete[] mLastErrorText;
        mLastErrorText = text;
        mLastErrorCode = other.mLastErrorCode;
        mLastErrorType = other.mLastErrorType;
        mLastResponse = other.mLastResponse;
        mWorstResponse = other.mWorstResponse.load();
    }
    return *this;
}

kvcmd_trans_error_response kvcmd_trans_error_handler::answer(const wchar_t* /*text*/,
                                                             const wchar_t* /*caption*/, int code,
                                                             int type) {
    return type != -1 && code != 0 ? KVCMD_RESPONSE_ABORT : KVCMD_RESPONSE_NONE;
}

kvcmd_trans_error_response kvcmd_trans_error_handler::on_error(const wchar_t* text,
                                                               const wchar_t* caption, int code,
                                                               int type) {
    kvcmd_trans_error_response response = KVCMD_RESPONSE_NONE;
    KEYWARD_TRACE_RETURN(response);
    OSTREL_DEBUG(CMessageHandler::GROUP_KVCMD, CMessageHandler::LEVEL_TRACE,
                 "string=%s, caption=%s, code=%d, type=%d", keyward::Narrow(text).c_str(),
                 keyward::Narrow(caption).c_str(), code, type);

    const bool recorded = type != -1;
    if (recorded) {
        wchar_t* copy = CopyText(text);
        delete[] mLastErrorText;
        mLastErrorText = copy;
        mLastErrorCode = code;
        mLastErrorType = type;
        mLastResponse = KVCMD_RESPONSE_ABORT;  // while the answer is being obtained
    }
    response = answer(text, caption, code, type);
    if (recorded) {
        mLastResponse = response;
    }
    // Another thread may read the worst response, but nothing else is ordered by it: a release
    // store does, and none when the value stays (every progress note is answered 0 onto 0).
    const kvcmd_trans_error_response worst = mWorstResponse.load(std::memory_order_relaxed);
    const int rank = severity(response);
    const int worstRank = severity(worst);
    if (rank >= 0 && worstRank >= 0 && rank >= worstRank && response != worst) {
        mWorstResponse.store(response, std::memory_order_release);
    }
    return response;
}

int kvcmd_trans_error_handler::severity(kvcmd_trans_error_response response) {
    switch (response) {
        case 0:
        case 3:
            return 0;
        case 1:
            return 3;
        case 2:
            return 1;
        case 4:
            return 2;
        default:
            return -1;
    }
}

kvcmd_trans_exception::kvcmd_trans_exception(const wchar_t* text, int code)
    : mText(text != nullptr ? text : L""), mCode(code) {}

kvcmd_trans_exception::~kvcmd_trans_exception() = default;
