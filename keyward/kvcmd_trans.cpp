#include "pdu_inside.h"
#include "trace.h"

#include <keyward/kvcmd_trans.h>
#include <ostrel/ostrel.h>

#include <algorithm>

namespace {

using keyward::detail::Word;

constexpr int kPasses = 3;
constexpr uint16_t kSecurityProbeAddress = 0xFF9A;
const wchar_t* const kCommunicationError = L"Communication error";

}  // namespace

kvcmd_trans::kvcmd_trans()
    : mSecurityState(SECURITY_UNKNOWN),
      mErrorHandler(&mDefaultErrorHandler),
      mPendingMessage(nullptr) {}

kvcmd_trans::~kvcmd_trans() = default;

const char* kvcmd_trans::getvar(const char* /*name*/) {
    return "";
}

kvcmd_trans_error_handler* kvcmd_trans::get_error_handler() {
    return mErrorHandler;
}

void kvcmd_trans::set_error_handler(kvcmd_trans_error_handler* handler) {
    mErrorHandler = handler != nullptr ? handler : &mDefaultErrorHandler;
}

kvcmd_trans_error_response kvcmd_trans::raise_error(const wchar_t* text, const wchar_t* caption,
                                                    int code, int type) {
    kvcmd_trans_error_handler* handler = get_error_handler();
    return handler != nullptr ? handler->on_error(text, caption, code, type) : KVCMD_RESPONSE_NONE;
}

PDU kvcmd_trans::run_pdu_report_errs(const PDU& request) {
    KEYWARD_TRACE();
    PDU result;
    kvcmd_trans_error_handler* handler = get_error_handler();
    mPendingMessage = nullptr;
    const bool isGet = Word(request, KVCMD_PDU::OFFSET_TYPE) == KVCMD_PDU::TYPE_GET_REQ;
    bool retrying = false;
    int r = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
        OSTREL_DEBUG(CMessageHandler::GROUP_KVCMD, CMessageHandler::LEVEL_TRACE, "Send request\n");
        r = do_request(request, result, handler);
        if (r == 0) {
            // A response with status 0 has nothing to check or report; only a trace would show
            // the check, so it is skipped while tracing is off.
            if ((Word(result, KVCMD_PDU::OFFSET_STATUS) == KVCMD_PDU::STATUS_OK &&
                 !CTheMsgHnd::DebugActivated()) ||
                !check_status(result) || !isGet) {
                return result;
            }
            retrying = true;
        } else if (!retrying) {
            break;
        }
    }
    if (r != 0 && mPendingMessage != nullptr) {
        raise_error(mPendingMessage, kCommunicationError, 5, 0);
    }
    return result;
}

int kvcmd_trans::do_request(const PDU& request, PDU& response, kvcmd_trans_error_handler* handler) {
    int r = 1;
    KEYWARD_TRACE_RETURN(r);
    unsigned attempts = send_attempts();
    if (attempts == 0) {
        attempts = 1;
    }
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        if (handler != nullptr) {
            handler->reset();
        }
        r = transact(request, response);
        if (r == 0 && Word(response, KVCMD_PDU::OFFSET_STATUS) != KVCMD_PDU::STATUS_BAD_PDU) {
            break;
        }
        if (r == 1) {
            break;
        }
    }
    if (r != 0 && (handler == nullptr || handler->get_last_error_code() == 0)) {
        raise_error(L"Failed to send or process command", kCommunicationError, 2, 0);
    }
    return r;
}

bool kvcmd_trans::check_status(const PDU& response) {
    bool retry = false;
    KEYWARD_TRACE_RETURN(retry);
    OSTREL_DEBUG(CMessageHandler::GROUP_KVCMD, CMessageHandler::LEVEL_TRACE, "check response\n");
    const uint16_t status = Word(response, KVCMD_PDU::OFFSET_STATUS);
    switch (status) {
        case KVCMD_PDU::STATUS_OK:
            break;
        case KVCMD_PDU::STATUS_NO_SUCH_VARID:
            if (mPendingMessage == nullptr) {
                mPendingMessage = L"The chip reports 'No such KVCMD VarID'";
            }
            OSTREL_DEBUG(CMessageHandler::GROUP_KVCMD, CMessageHandler::LEVEL_WARNING,
                         "The chip reports 'No such KVCMD VarID' (varid 0x%04X)",
                         Word(response, KVCMD_PDU::OFFSET_VARID));
            retry = true;
            break;
        case KVCMD_PDU::STATUS_TOO_BIG:
            raise_error(L"The chip reports 'KVCMD too big'.", kCommunicationError, 3, 0);
            break;
        case KVCMD_PDU::STATUS_NO_VALUE:
            raise_error(L"The chip reports 'No value found'.", kCommunicationError, 3, 0);
            break;
        case KVCMD_PDU::STATUS_BAD_PDU:
            raise_error(L"The chip reports 'Bad PDU'.", kCommunicationError, 2, 0);
            break;
        case KVCMD_PDU::STATUS_ACCESS_DENIED:
            raise_error(
                L"The chip reports 'Access denied'.\nKey may not exist for this version of the "
                L"firmware.",
                kCommunicationError, 3, 0);
            retry = true;
            break;
        case KVCMD_PDU::STATUS_READ_ONLY:
            raise_error(L"The chip reports 'Read only'.", kCommunicationError, 5, 0);
            break;
        case KVCMD_PDU::STATUS_WRITE_ONLY:
            raise_error(L"The chip reports 'Write only'.", kCommunicationError, 5, 0);
            break;
        case KVCMD_PDU::STATUS_ERROR: {
            // A chip answers PS reads, sizes and deletes of a key it does not hold with this
            // status; callers find that out from the result, so it is not an error to report.
            const uint16_t type = Word(response, KVCMD_PDU::OFFSET_TYPE);
            const uint16_t varid = Word(response, KVCMD_PDU::OFFSET_VARID);
            const bool quiet =
                (type == KVCMD_PDU::TYPE_GET_REQ || type == KVCMD_PDU::TYPE_GET_RESP) &&
                (varid == KVCMD_PS_PDU::VARID || varid == KVCMD_PSSIZE_PDU::VARID ||
                 varid == KVCMD_PSCLR_PDU::VARID);
            if (!quiet) {
                raise_error(L"The chip reported a problem processing a command.",
                            L"Chip KVCMD error", 5, 0);
            }
            break;
        }
        case KVCMD_PDU::STATUS_PERMISSION_DENIED:
            raise_error(L"The chip reports 'Permission denied'.", kCommunicationError, 5, 0);
            break;
        default:
            if (mPendingMessage == nullptr) {
                mPendingMessage = L"The chip reported an unknown error.";
            }
            OSTREL_DEBUG(CMessageHandler::GROUP_KVCMD, CMessageHandler::LEVEL_WARNING,
                         "The chip reported an unknown status %u", static_cast<unsigned>(status));
            retry = true;
            break;
    }
    return retry;
}

int kvcmd_trans::detectSecurity() {
    KEYWARD_TRACE_RETURN(mSecurityState);
    if (!is_open() || mSecurityState != SECURITY_UNKNOWN) {
        return mSecurityState;
    }
    const KVCMD_MEMORY_PDU probe(KVCMD_PDU::TYPE_GET_REQ, kSecurityProbeAddress, 1);
    const KVCMD_PDU response(run_pdu_report_errs(probe));
    if (response.channel() != 0 && response.get_type() == KVCMD_PDU::TYPE_GET_RESP) {
        if (response.get_status() == KVCMD_PDU::STATUS_OK) {
            mSecurityState = SECURITY_UNLOCKED;
        } else if (response.get_status() == KVCMD_PDU::STATUS_ACCESS_DENIED) {
            mSecurityState = SECURITY_LOCKED;
        }
    }
    return mSecurityState;
}

bool kvcmd_trans::read_mem_by_kvcmd(GenericPointer where, uint16_t length, uint16_t* out) {
    constexpr uint32_t kDataSpace = 4;
    constexpr uint32_t kChunkWords = 256;
    if (where.space != kDataSpace || where.address % 2 != 0 || out == nullptr) {
        return false;
    }
    const uint32_t word = where.address / 2;
    if (word + length > 0x10000) {
        return false;
    }
    for (uint32_t done = 0; done < length;) {
        const uint16_t count =
            static_cast<uint16_t>(std::min<uint32_t>(kChunkWords, length - done));
        const KVCMD_MEMORY_PDU response(run_pdu_report_errs(
            KVCMD_MEMORY_PDU(KVCMD_PDU::TYPE_GET_REQ, static_cast<uint16_t>(word + done), count)));
        if (response.channel() == 0 || response.get_type() != KVCMD_PDU::TYPE_GET_RESP ||
            response.get_status() != KVCMD_PDU::STATUS_OK || response.data_words() < count) {
            return false;
        }
        response.get_data(out + done, count);
        done += count;
    }
    return true;
}
