// PTAP messages: small binary commands to the device behind the PTAP driver, and their replies.
//
// A message is built with its request complete. Send() hands the request bytes to a socket of
// the transport library (the process's default socket unless one is given), blocks until the
// transport's worker delivers the reply, checks the reply header and passes the body to the
// message class, which parses it into its accessors. Failures never throw: Send() returns false,
// Status() tells why, and a text is recorded in the communication group of the diagnostics
// framework (ostrel/ostrel.h). A message may be sent again; each send replaces its reply.
//
// Wire format, little-endian, one message per driver read or write:
//   request     u16 message id (bit 15 clear), then the fields of the message
//   response    u16 request id | 0x8000, u16 status (0 = success), body
//   indication  u16 message id (bit 15 clear), then its fields (DATA_UP)
#pragma once

#include <varnak/comminterfaces.h>
#include <varnak/signal.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#define QUILLON_API __attribute__((visibility("default")))

namespace comm::ptap {

class QUILLON_API CBasePtapMessage : public ISendableMessage, public IReceivableMessage {
  public:
    static constexpr unsigned short RESPONSE_MASK = 0x8000;

    // The message status: the device's status word as received, or one of these.
    enum StatusCodeEnum : uint32_t {
        PTAP_STATUS_SUCCESS = 0,
        PTAP_STATUS_TIMEOUT = 8,               // no reply could be read
        PTAP_STATUS_INVALID_RESPONSE = 0x100,  // a reply to another message, or malformed
        PTAP_STATUS_SEND_FAILED = 0x101,       // the request could not be written
    };

    explicit CBasePtapMessage(unsigned short type);
    ~CBasePtapMessage() override;
    CBasePtapMessage(const CBasePtapMessage&) = delete;
    CBasePtapMessage& operator=(const CBasePtapMessage&) = delete;

    // Sends the request and waits for its reply; true when the device answered with success.
    // SEND_NO_RESPONSE only queues the request and returns the current status at once.
    bool Send(ISocket& socket) override;
    bool Send() override;
    virtual bool Send(ISocket& socket, ItemActionEnum action);
    virtual bool Send(ItemActionEnum action);

    // Waits for one message from the device (an indication such as DATA_UP).
    bool Receive(ISocket& socket) override;
    bool Receive() override;

    unsigned short Type() const;
    StatusCodeEnum Status() const;

  protected:
    static constexpr unsigned long READ_TIMEOUT = 1000;

    // Receives the body of a response to this message (after the 4-byte header).
    virtual void OnResponse(unsigned char* data, unsigned int size);
    // Receives a whole indication (from its id on). The base treats it as unexpected.
    virtual void OnReceive(unsigned char* data, unsigned int size);
    // Forgets what an earlier reply left, before a new reply is processed.
    virtual void ClearReply();

    // Records a failure text and remembers that this message did.
    void SetError(const std::string& text);
    void SetStatus(StatusCodeEnum status) { mStatus = status; }

    // Registration call, scope trace and "NAME constructor invoked" debug line of a message
    // constructor.
    static void Announce(const char* debugName);

    // Appending request fields, little-endian.
    void Write16(uint16_t value);
    void Write32(uint32_t value);
    void WriteBytes(const unsigned char* data, size_t size);

  private:
    void OnDataReceived(unsigned char* data, unsigned int size, DataReceiveResultEnum result);
    void ProcessReceivedData();
    DataCallback Callback();

    unsigned short mType;
    StatusCodeEnum mStatus;
    std::string mRequest;
    CSignal mReplySignal;
    bool mErrorSet;
    DataReceiveResultEnum mResult;
    std::vector<unsigned char> mReply;
    unsigned int mReplySize;
};

// The host interfaces (HIFs) of the device.
class QUILLON_API CQueryHifs : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x10;

    struct HifInfo {
        unsigned char hifId = 0;
        int32_t hifKind = 0;
        std::string hifName;  // up to 32 characters
    };

    CQueryHifs();
    ~CQueryHifs() override;
    const std::map<unsigned short, HifInfo>& Hifs() const;

  protected:
    void OnResponse(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    std::map<unsigned short, HifInfo> mHifs;
};

// The services of the device.
class QUILLON_API CQueryServices : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x11;

    struct ServiceInfo {
        unsigned short serviceId = 0;
        unsigned short word1 = 0;
        int32_t word2 = 0;
        int32_t low7 = 0;   // bits 0-6 of the third word
        bool bit7 = false;  // bit 7 of the third word
        unsigned short word4 = 0;
    };

    CQueryServices();
    ~CQueryServices() override;
    const std::map<unsigned short, ServiceInfo>& Services() const;

  protected:
    void OnResponse(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    std::map<unsigned short, ServiceInfo> mServices;
};

// Statistics counters: the value of each counter id asked for.
class QUILLON_API CQueryStats : public CBasePtapMessage {
  public:
    // `ids` holds `count` counter ids (a null pointer counts as none).
    CQueryStats(unsigned short first, const unsigned short* ids, unsigned count);
    ~CQueryStats() override;
    std::map<unsigned short, uint64_t>& Stats();

  protected:
    void OnResponse(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    static constexpr unsigned short MSG_ID = 0x12;
    unsigned mCount;
    std::map<unsigned short, uint64_t> mStats;
};

// Service operations: the request is the service id; the response carries the status only.
class QUILLON_API CServiceMap : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x22;
    explicit CServiceMap(unsigned short service);
    ~CServiceMap() override;
};

class QUILLON_API CServiceUnmap : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x23;
    explicit CServiceUnmap(unsigned short service);
    ~CServiceUnmap() override;
};

class QUILLON_API CServiceStart : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x24;
    explicit CServiceStart(unsigned short service);
    ~CServiceStart() override;
};

class QUILLON_API CServiceStop : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x25;
    explicit CServiceStop(unsigned short service);
    ~CServiceStop() override;
};

class QUILLON_API CServiceAvailable : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x26;
    explicit CServiceAvailable(unsigned short service);
    ~CServiceAvailable() override;
};

class QUILLON_API CServiceUnavailable : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x27;
    explicit CServiceUnavailable(unsigned short service);
    ~CServiceUnavailable() override;
};

// Queue pairs: the fields are written in argument order.
class QUILLON_API CQueuePairAttach : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x30;
    CQueuePairAttach(unsigned short first, unsigned short second, unsigned short third,
                     uint32_t value);
    ~CQueuePairAttach() override;
};

class QUILLON_API CQueuePairDetach : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x31;
    CQueuePairDetach(unsigned short first, unsigned short second);
    ~CQueuePairDetach() override;
};

// A DATA_UP indication: class, sid, conid and payload.
class QUILLON_API CDataUp : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x01;

    // A message to Receive() one indication with.
    CDataUp();
    // Parses an indication at once (from its id word on).
    CDataUp(const unsigned char* data, unsigned int size);
    ~CDataUp() override;

    const std::vector<unsigned char>& Payload() const;
    unsigned short Class() const;
    unsigned short Sid() const;
    unsigned short ConId() const;

  protected:
    void OnReceive(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    void Parse(const unsigned char* data, unsigned int size);

    unsigned short mClass = 0;
    unsigned short mSid = 0;
    unsigned short mConId = 0;
    std::vector<unsigned char> mPayload;
};

// DATA_DOWN: class, sid, conid and a payload (written only when the pointer is not null and
// the length not 0); the device answers with a DATA_UP indication, kept as Response().
class QUILLON_API CDataDown : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x00;
    CDataDown(unsigned short dataClass, unsigned short sid, unsigned short conId,
              const unsigned char* payload, unsigned int length);
    ~CDataDown() override;

    // The DATA_UP received as the reply, or null; owned by this message.
    CDataUp* Response() const;

  protected:
    void OnReceive(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    std::unique_ptr<CDataUp> mResponse;
};

// Starts a test: the value, then the path with the driver's prefix "\??\" as UTF-16LE with
// its byte count. A full path longer than 255 UTF-16 code units is sent with count 0 and no
// text.
class QUILLON_API CPtestStart : public CBasePtapMessage {
  public:
    static constexpr unsigned short MSG_ID = 0x70;
    CPtestStart(unsigned short value, const std::string path);
    ~CPtestStart() override;

  private:
    static const std::string DRIVER_PATH_PREFIX;
    static constexpr unsigned int MAX_PTEST_PATH = 255;
};

}  // namespace comm::ptap
