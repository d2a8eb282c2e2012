#include <quillon/ptapmessages.h>

#include <transports/transport.h>

#include <ostrel/ostrel.h>
#include <varnak/signal.h>

#include <cstring>
#include <cwchar>
#include <new>

namespace comm::ptap {

namespace {

constexpr auto kComm = CMessageHandler::GROUP_COMMUNICATION;
// How the transport's text for a read that timed out begins.
constexpr const char* kReadTimeoutText = "Read failed due to timeout";

uint16_t Read16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint64_t Read64(const unsigned char* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

// Marks a reply that cannot be what it claims to be.
std::string ShortReply(const char* what, unsigned int size, unsigned int needed) {
    return std::string("Invalid response: ") + what + " of " + std::to_string(size) +
           " bytes is shorter than " + std::to_string(needed) + " bytes";
}

// "" when `data` is a whole DATA_UP indication, else the reason it is not.
std::string DataUpProblem(const unsigned char* data, unsigned int size) {
    const uint16_t type = size >= 2 ? Read16(data) : 0xffff;
    if (type != CDataUp::MSG_ID) {
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                     "PTAP_DATA_UP was expected but something else arrived: type = %d", type);
        return "Invalid response";
    }
    return size < 8 ? ShortReply("a DATA_UP", size, 8) : std::string();
}

}  // namespace

// ---- CBasePtapMessage ----

CBasePtapMessage::CBasePtapMessage(unsigned short type)
    : mType(type),
      mStatus(PTAP_STATUS_SUCCESS),
      mReplySignal(std::make_unique<CSignal>()),
      mErrorSet(false),
      mResult(DATA_OK),
      mReplySize(0) {
    CTheMsgHnd::Instance();
    CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_GENERAL, __func__, true);
    OSTREL_TRACE(kComm);
    Write16(type);
}

CBasePtapMessage::~CBasePtapMessage() {
    if (mErrorSet) {
        OSTREL_HANDLER(kComm).ClearError(CMessageHandler::GROUP_COMMUNICATION_ERROR);
    }
}

void CBasePtapMessage::Announce(const char* debugName) {
    CTheMsgHnd::Instance();
    CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_GENERAL, debugName, true);
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "%s constructor invoked", debugName);
}

unsigned short CBasePtapMessage::Type() const {
    return mType;
}

CBasePtapMessage::StatusCodeEnum CBasePtapMessage::Status() const {
    OSTREL_TRACE(kComm);
    return mStatus;
}

void CBasePtapMessage::Write16(uint16_t value) {
    mRequest.push_back(static_cast<char>(value & 0xff));
    mRequest.push_back(static_cast<char>(value >> 8));
}

void CBasePtapMessage::Write32(uint32_t value) {
    Write16(static_cast<uint16_t>(value & 0xffff));
    Write16(static_cast<uint16_t>(value >> 16));
}

void CBasePtapMessage::WriteBytes(const unsigned char* data, size_t size) {
    mRequest.append(reinterpret_cast<const char*>(data), size);
}

void CBasePtapMessage::SetError(const std::string& text) {
    OSTREL_SET_ERROR(kComm, text);
    mErrorSet = true;
}

DataCallback CBasePtapMessage::Callback() {
    return DataCallback::from_method<CBasePtapMessage, &CBasePtapMessage::OnDataReceived>(this);
}

bool CBasePtapMessage::Send(ISocket& socket) {
    return Send(socket, SEND);
}

bool CBasePtapMessage::Send() {
    return Send(SEND);
}

bool CBasePtapMessage::Send(ItemActionEnum action) {
    bool result = false;
    OSTREL_TRACE_RETURN(kComm, result);
    ISocket* socket = comm::trans::CTransport::Ref().GetDefaultSocket();
    if (socket == nullptr) {
        // The transport recorded why there is no device; the status must not read success.
        mStatus = PTAP_STATUS_SEND_FAILED;
        return result;
    }
    result = Send(*socket, action);
    return result;
}

bool CBasePtapMessage::Send(ISocket& socket, ItemActionEnum action) {
    bool result = false;
    OSTREL_TRACE_RETURN(kComm, result);
    mReplySignal->Clear();
    socket.Send(reinterpret_cast<const unsigned char*>(mRequest.data()),
                static_cast<unsigned int>(mRequest.size()), Callback(), action);
    // A request that is answered is waited for, RECEIVE too: its callback must not arrive
    // after this call has returned and the message may be gone.
    if (action != SEND_NO_RESPONSE) {
        mReplySignal->Wait(-1);
        ProcessReceivedData();
    }
    result = mStatus == PTAP_STATUS_SUCCESS;
    return result;
}

bool CBasePtapMessage::Receive(ISocket& socket) {
    bool result = false;
    OSTREL_TRACE_RETURN(kComm, result);
    mReplySignal->Clear();
    socket.Receive(Callback());
    mReplySignal->Wait(-1);
    ProcessReceivedData();
    result = mStatus == PTAP_STATUS_SUCCESS;
    return result;
}

bool CBasePtapMessage::Receive() {
    bool result = false;
    OSTREL_TRACE_RETURN(kComm, result);
    ISocket* socket = comm::trans::CTransport::Ref().GetDefaultSocket();
    if (socket == nullptr) {
        mStatus = PTAP_STATUS_SEND_FAILED;
        return result;
    }
    result = Receive(*socket);
    return result;
}

void CBasePtapMessage::OnDataReceived(unsigned char* data, unsigned int size,
                                      DataReceiveResultEnum result) {
    if (data == nullptr) {
        size = 0;
    }
    mReply.assign(data, data + size);
    mReplySize = size;
    mResult = result;
    mReplySignal->Set();
}

void CBasePtapMessage::ProcessReceivedData() {
    mStatus = PTAP_STATUS_SUCCESS;
    ClearReply();
    if (mResult == DATA_SEND_FAILED) {
        mStatus = PTAP_STATUS_SEND_FAILED;
        SetError("PTAP Message sent failed");
        return;
    }
    if (mResult != DATA_OK) {
        mStatus = PTAP_STATUS_TIMEOUT;
        // The transport recorded what became of the read. Only one that timed out is a timeout:
        // a device that hung up, or sent an empty or an oversized reply, is said to have done so.
        const std::string reason = OSTREL_HANDLER(kComm).GetErrorMsg();
        if (reason.empty() || reason.rfind(kReadTimeoutText, 0) == 0) {
            SetError("PTAP Message receive timeout");
        } else {
            SetError("PTAP Message receive failed: " + reason);
        }
        return;
    }
    // The reply comes from the device: its length is checked before each field is read.
    if (mReplySize < 2) {
        mStatus = PTAP_STATUS_INVALID_RESPONSE;
        SetError(ShortReply("a reply", mReplySize, 2));
        return;
    }
    const uint16_t word = Read16(mReply.data());
    if ((word & RESPONSE_MASK) == 0) {
        OnReceive(mReply.data(), mReplySize);
        return;
    }
    if ((word & ~RESPONSE_MASK) != mType) {
        SetError("Mismatch response received");
        mStatus = PTAP_STATUS_INVALID_RESPONSE;
        return;
    }
    if (mReplySize < 4) {
        mStatus = PTAP_STATUS_INVALID_RESPONSE;
        SetError(ShortReply("a response", mReplySize, 4));
        return;
    }
    mStatus = static_cast<StatusCodeEnum>(Read16(mReply.data() + 2));
    OnResponse(mReply.data() + 4, mReplySize - 4);
}

void CBasePtapMessage::OnResponse(unsigned char* /*data*/, unsigned int /*size*/) {}

void CBasePtapMessage::OnReceive(unsigned char* data, unsigned int /*size*/) {
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Unexpected indication received: type = %d",
                 Read16(data));
    SetError("Unexpected indication received");
    mStatus = PTAP_STATUS_INVALID_RESPONSE;
}

void CBasePtapMessage::ClearReply() {}

// ---- CQueryHifs ----

CQueryHifs::CQueryHifs() : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_QUERY_HIFS_REQ");
}

CQueryHifs::~CQueryHifs() = default;

const std::map<unsigned short, CQueryHifs::HifInfo>& CQueryHifs::Hifs() const {
    return mHifs;
}

void CQueryHifs::ClearReply() {
    mHifs.clear();
}

void CQueryHifs::OnResponse(unsigned char* data, unsigned int size) {
    OSTREL_TRACE(kComm);
    constexpr unsigned int kRecord = 36;
    for (unsigned int at = 0; at + kRecord <= size; at += kRecord) {
        const unsigned char* record = data + at;
        HifInfo info;
        info.hifId = record[0];
        info.hifKind = record[2];
        const char* name = reinterpret_cast<const char*>(record + 4);
        info.hifName.assign(name, strnlen(name, 32));
        mHifs[info.hifId] = info;
    }
}

// ---- CQueryServices ----

CQueryServices::CQueryServices() : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_QUERY_SERVICES");
}

CQueryServices::~CQueryServices() = default;

const std::map<unsigned short, CQueryServices::ServiceInfo>& CQueryServices::Services() const {
    return mServices;
}

void CQueryServices::ClearReply() {
    mServices.clear();
}

void CQueryServices::OnResponse(unsigned char* data, unsigned int size) {
    OSTREL_TRACE(kComm);
    mServices.clear();
    constexpr unsigned int kRecord = 10;
    for (unsigned int at = 0; at + kRecord <= size; at += kRecord) {
        const unsigned char* record = data + at;
        ServiceInfo info;
        info.serviceId = Read16(record);
        info.word1 = Read16(record + 2);
        info.word2 = Read16(record + 4);
        const uint16_t third = Read16(record + 6);
        info.low7 = third & 0x7f;
        info.bit7 = (third & 0x80) != 0;
        info.word4 = Read16(record + 8);
        mServices[info.serviceId] = info;
    }
}

// ---- CQueryStats ----

CQueryStats::CQueryStats(unsigned short first, const unsigned short* ids, unsigned count)
    : CBasePtapMessage(MSG_ID), mCount(ids == nullptr ? 0 : count) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_QUERY_STATS");
    Write16(first);
    for (unsigned i = 0; i < mCount; ++i) {
        Write16(ids[i]);
    }
}

CQueryStats::~CQueryStats() = default;

std::map<unsigned short, uint64_t>& CQueryStats::Stats() {
    return mStats;
}

void CQueryStats::ClearReply() {
    mStats.clear();
}

void CQueryStats::OnResponse(unsigned char* data, unsigned int size) {
    OSTREL_TRACE(kComm);
    mStats.clear();
    constexpr unsigned int kRecord = 10;
    const unsigned int whole = size / kRecord;
    const unsigned int records = whole < mCount ? whole : mCount;
    for (unsigned int i = 0; i < records; ++i) {
        const unsigned char* record = data + i * kRecord;
        mStats[Read16(record)] = Read64(record + 2);
    }
    // A successful answer must hold one record per counter asked for.
    if (records < mCount && Status() == PTAP_STATUS_SUCCESS) {
        SetError(ShortReply("a statistics body", size, mCount * kRecord));
        SetStatus(PTAP_STATUS_INVALID_RESPONSE);
    }
}

// ---- service operations ----

#define VARNAK_SERVICE_MESSAGE(Class, debugName)                      \
    Class::Class(unsigned short service) : CBasePtapMessage(MSG_ID) { \
        OSTREL_TRACE(kComm);                                          \
        Announce(debugName);                                          \
        Write16(service);                                             \
    }                                                                 \
    Class::~Class() = default;

VARNAK_SERVICE_MESSAGE(CServiceMap, "PTAP_SERVICE_MAP")
VARNAK_SERVICE_MESSAGE(CServiceUnmap, "PTAP_SERVICE_UNMAP")
VARNAK_SERVICE_MESSAGE(CServiceStart, "PTAP_SERVICE_START")
VARNAK_SERVICE_MESSAGE(CServiceStop, "PTAP_SERVICE_STOP")
VARNAK_SERVICE_MESSAGE(CServiceAvailable, "PTAP_SERVICE_AVAILABLE")
VARNAK_SERVICE_MESSAGE(CServiceUnavailable, "PTAP_SERVICE_UNAVAILABLE")

#undef VARNAK_SERVICE_MESSAGE

// ---- queue pairs ----

CQueuePairAttach::CQueuePairAttach(unsigned short first, unsigned short second,
                                   unsigned short third, uint32_t value)
    : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_QUEUE_PAIR_ATTACH");
    Write16(first);
    Write16(second);
    Write16(third);
    Write32(value);
}

CQueuePairAttach::~CQueuePairAttach() = default;

CQueuePairDetach::CQueuePairDetach(unsigned short first, unsigned short second)
    : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_QUEUE_PAIR_DETACH");
    Write16(first);
    Write16(second);
}

CQueuePairDetach::~CQueuePairDetach() = default;

// ---- DATA_UP ----

CDataUp::CDataUp() : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_DATA_UP");
}

CDataUp::CDataUp(const unsigned char* data, unsigned int size) : CBasePtapMessage(MSG_ID) {
    Parse(data, data == nullptr ? 0 : size);
}

CDataUp::~CDataUp() = default;

const std::vector<unsigned char>& CDataUp::Payload() const {
    return mPayload;
}

unsigned short CDataUp::Class() const {
    return mClass;
}

unsigned short CDataUp::Sid() const {
    return mSid;
}

unsigned short CDataUp::ConId() const {
    return mConId;
}

void CDataUp::ClearReply() {
    mClass = mSid = mConId = 0;
    mPayload.clear();
}

void CDataUp::OnReceive(unsigned char* data, unsigned int size) {
    Parse(data, size);
}

void CDataUp::Parse(const unsigned char* data, unsigned int size) {
    const std::string problem = DataUpProblem(data, size);
    if (!problem.empty()) {
        SetError(problem);
        SetStatus(PTAP_STATUS_INVALID_RESPONSE);
        return;
    }
    mClass = Read16(data + 2);
    mSid = Read16(data + 4);
    mConId = Read16(data + 6);
    try {
        mPayload.assign(data + 8, data + size);
    } catch (const std::bad_alloc&) {
        SetError("Unable to allocate enough memory to store the response");
    }
}

// ---- DATA_DOWN ----

CDataDown::CDataDown(unsigned short dataClass, unsigned short sid, unsigned short conId,
                     const unsigned char* payload, unsigned int length)
    : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_DATA_DOWN");
    Write16(dataClass);
    Write16(sid);
    Write16(conId);
    if (payload != nullptr && length != 0) {
        WriteBytes(payload, length);
    }
}

CDataDown::~CDataDown() = default;

CDataUp* CDataDown::Response() const {
    return mResponse.get();
}

void CDataDown::ClearReply() {
    mResponse.reset();
}

void CDataDown::OnReceive(unsigned char* data, unsigned int size) {
    const std::string problem = DataUpProblem(data, size);
    if (!problem.empty()) {
        SetError(problem);
        SetStatus(PTAP_STATUS_INVALID_RESPONSE);
        return;
    }
    mResponse = std::make_unique<CDataUp>(data, size);
}

// ---- PTEST_START ----

const std::string CPtestStart::DRIVER_PATH_PREFIX = "\\??\\";

namespace {

// The path in UTF-16 code units, converted from the current locale's character set, or one
// unit per byte when the path is not valid in it.
std::u16string ToUtf16(const std::string& path) {
    std::u16string units;
    std::mbstate_t state{};
    const char* next = path.data();
    size_t left = path.size();
    while (left > 0) {
        wchar_t wide = 0;
        size_t used = std::mbrtowc(&wide, next, left, &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
            units.clear();
            for (char c : path) {
                units.push_back(static_cast<unsigned char>(c));
            }
            return units;
        }
        if (used == 0) {
            used = 1;  // an embedded NUL
        }
        const uint32_t code = static_cast<uint32_t>(wide);
        if (code > 0xffff) {
            units.push_back(static_cast<char16_t>(0xd800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xdc00 + ((code - 0x10000) & 0x3ff)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
        next += used;
        left -= used;
    }
    return units;
}

}  // namespace

CPtestStart::CPtestStart(unsigned short value, const std::string path) : CBasePtapMessage(MSG_ID) {
    OSTREL_TRACE(kComm);
    Announce("PTAP_PTEST_START");
    const std::u16string text = ToUtf16(DRIVER_PATH_PREFIX + path);
    Write16(value);
    if (text.size() <= MAX_PTEST_PATH) {
        // The count is that of the text written, also for characters of several bytes.
        Write16(static_cast<uint16_t>(text.size() * 2));
        for (char16_t unit : text) {
            Write16(static_cast<uint16_t>(unit));
        }
    } else {
        Write16(0);
    }
}

CPtestStart::~CPtestStart() = default;

}  // namespace comm::ptap
