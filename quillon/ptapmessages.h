/// @file
/// @brief PTAP messages: small binary commands to the device behind the PTAP driver, and their
/// replies.
///
/// A message is built with its request complete. Send() hands the request bytes to a socket of
/// the transport library (the process's default socket unless one is given), blocks until the
/// transport's worker delivers the reply, checks the reply header and passes the body to the
/// message class, which parses it into its accessors. Failures never throw: Send() returns false,
/// Status() tells why, and a text is recorded in the communication group of the diagnostics
/// framework (ostrel/ostrel.h). A message may be sent again; each send replaces its reply.
///
/// Wire format, little-endian, one message per driver read or write:
///   request     u16 message id (bit 15 clear), then the fields of the message
///   response    u16 request id | 0x8000, u16 status (0 = success), body
///   indication  u16 message id (bit 15 clear), then its fields (DATA_UP)
#pragma once

#include <varnak/comminterfaces.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

/// Marks what the quillon library exports.
#define QUILLON_API __attribute__((visibility("default")))
/// Marks the inside of an exported class as not exported.
#define QUILLON_LOCAL __attribute__((visibility("hidden")))

// The event a message waits on for its reply; the library's own thread tool.
class CSignal;

namespace comm::ptap {

/// The base of every PTAP message: builds the request, sends it on a socket of the transport, waits
/// for the reply and checks it (see the file description). A message object is used by one thread
/// at a time; different messages may be sent from different threads at once (@ref
/// quillon_threading). Failures: @ref quillon_errors.
class QUILLON_API CBasePtapMessage : public ISendableMessage, public IReceivableMessage {
  public:
    /// Bit 15 of a response's id word: set in every response.
    static constexpr unsigned short RESPONSE_MASK = 0x8000;

    /// The message status: the device's status word as received, or one of these.
    enum StatusCodeEnum : uint32_t {
        /// the device answered with success
        PTAP_STATUS_SUCCESS = 0,               ///< the device answered with success
        PTAP_STATUS_TIMEOUT = 8,               ///< no reply could be read
        PTAP_STATUS_INVALID_RESPONSE = 0x100,  ///< a reply to another message, or malformed
        PTAP_STATUS_SEND_FAILED = 0x101,       ///< the request could not be written
    };

    /// A request of message id `type` (its first word).
    explicit CBasePtapMessage(unsigned short type);
    /// Clears the communication-error record when this message failed.
    ~CBasePtapMessage() override;
    CBasePtapMessage(const CBasePtapMessage&) = delete;
    CBasePtapMessage& operator=(const CBasePtapMessage&) = delete;

    /// Sends the request on `socket` and waits for its reply; true when the device answered with
    /// success. On false, Status() tells why: one of the statuses above, whose reason is also
    /// recorded in the communication group of the diagnostics framework, or the status word the
    /// device answered with, which records no text. SEND_NO_RESPONSE only queues the request
    /// and returns the current status at once.
    bool Send(ISocket& socket) override;
    /// Send(ISocket&) on the transport's default socket (initialising the transport with an empty
    /// connection string when needed).
    bool Send() override;
    /// Send(ISocket&) with the transport action `action`.
    virtual bool Send(ISocket& socket, ItemActionEnum action);
    /// Send() with the transport action `action`.
    virtual bool Send(ItemActionEnum action);

    /// Waits for one message from the device on `socket` (an indication such as DATA_UP).
    bool Receive(ISocket& socket) override;
    /// Receive(ISocket&) on the default socket.
    bool Receive() override;

    /// The message id of the request.
    unsigned short Type() const;
    /// The status of the last send or receive.
    StatusCodeEnum Status() const;

  protected:
    /// How long the transport waits for a reply, in milliseconds.
    static constexpr unsigned long READ_TIMEOUT = 1000;

    /// Receives the body of a response to this message (after the 4-byte header).
    virtual void OnResponse(unsigned char* data, unsigned int size);
    /// Receives a whole indication (from its id on). The base treats it as unexpected.
    virtual void OnReceive(unsigned char* data, unsigned int size);
    /// Forgets what an earlier reply left, before a new reply is processed.
    virtual void ClearReply();

    /// Records a failure text and remembers that this message did.
    void SetError(const std::string& text);
    /// Sets the status.
    void SetStatus(StatusCodeEnum status) { mStatus = status; }

    /// Registration call, scope trace and "NAME constructor invoked" debug line of a message
    /// constructor.
    static void Announce(const char* debugName);

    /// Appends request fields, little-endian: a 16-bit word, a 32-bit word, bytes.
    void Write16(uint16_t value);
    /// Appends a 32-bit field.
    void Write32(uint32_t value);
    /// Appends `size` bytes.
    void WriteBytes(const unsigned char* data, size_t size);

  private:
    QUILLON_LOCAL void OnDataReceived(unsigned char* data, unsigned int size,
                                      DataReceiveResultEnum result);
    QUILLON_LOCAL void ProcessReceivedData();
    QUILLON_LOCAL DataCallback Callback();

    unsigned short mType;
    StatusCodeEnum mStatus;
    std::string mRequest;
    std::unique_ptr<CSignal> mReplySignal;
    bool mErrorSet;
    DataReceiveResultEnum mResult;
    std::vector<unsigned char> mReply;
    unsigned int mReplySize;
};

/// The host interfaces (HIFs) of the device.
class QUILLON_API CQueryHifs : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x10;

    /// One host interface.
    struct HifInfo {
        /// The interface id.
        unsigned char hifId = 0;
        /// The interface kind.
        int32_t hifKind = 0;
        std::string hifName;  ///< up to 32 characters
    };

    /// The request (message id MSG_ID, no fields).
    CQueryHifs();
    ~CQueryHifs() override;
    /// The interfaces of the last reply, by id; empty before a successful Send().
    const std::map<unsigned short, HifInfo>& Hifs() const;

  protected:
    void OnResponse(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    std::map<unsigned short, HifInfo> mHifs;
};

/// The services of the device.
class QUILLON_API CQueryServices : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x11;

    /// One service record.
    struct ServiceInfo {
        /// The service id.
        unsigned short serviceId = 0;
        /// The record's first word.
        unsigned short word1 = 0;
        /// The record's second word.
        int32_t word2 = 0;
        int32_t low7 = 0;   ///< bits 0-6 of the third word
        bool bit7 = false;  ///< bit 7 of the third word
        /// The record's fourth word.
        unsigned short word4 = 0;
    };

    /// The request (message id MSG_ID, no fields).
    CQueryServices();
    ~CQueryServices() override;
    /// The services of the last reply, by id; empty before a successful Send().
    const std::map<unsigned short, ServiceInfo>& Services() const;

  protected:
    void OnResponse(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    std::map<unsigned short, ServiceInfo> mServices;
};

/// Statistics counters: the value of each counter id asked for.
class QUILLON_API CQueryStats : public CBasePtapMessage {
  public:
    /// `ids` holds `count` counter ids (a null pointer counts as none).
    CQueryStats(unsigned short first, const unsigned short* ids, unsigned count);
    ~CQueryStats() override;
    /// The counters of the last reply: counter id to value.
    std::map<unsigned short, uint64_t>& Stats();

  protected:
    void OnResponse(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x12;
    unsigned mCount;
    std::map<unsigned short, uint64_t> mStats;
};

/// Maps a service. The service operations' request is the service id; the response carries
/// the status only.
class QUILLON_API CServiceMap : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x22;
    /// The request for service `service`.
    explicit CServiceMap(unsigned short service);
    ~CServiceMap() override;
};

/// Unmaps a service (request: the service id; response: the status only).
class QUILLON_API CServiceUnmap : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x23;
    /// The request for service `service`.
    explicit CServiceUnmap(unsigned short service);
    ~CServiceUnmap() override;
};

/// Starts a service (request: the service id; response: the status only).
class QUILLON_API CServiceStart : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x24;
    /// The request for service `service`.
    explicit CServiceStart(unsigned short service);
    ~CServiceStart() override;
};

/// Stops a service (request: the service id; response: the status only).
class QUILLON_API CServiceStop : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x25;
    /// The request for service `service`.
    explicit CServiceStop(unsigned short service);
    ~CServiceStop() override;
};

/// Marks a service available (request: the service id; response: the status only).
class QUILLON_API CServiceAvailable : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x26;
    /// The request for service `service`.
    explicit CServiceAvailable(unsigned short service);
    ~CServiceAvailable() override;
};

/// Marks a service unavailable (request: the service id; response: the status only).
class QUILLON_API CServiceUnavailable : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x27;
    /// The request for service `service`.
    explicit CServiceUnavailable(unsigned short service);
    ~CServiceUnavailable() override;
};

/// Attaches a queue pair: the fields are written in argument order.
class QUILLON_API CQueuePairAttach : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x30;
    /// The request with the three words and the 32-bit value.
    CQueuePairAttach(unsigned short first, unsigned short second, unsigned short third,
                     uint32_t value);
    ~CQueuePairAttach() override;
};

/// Detaches a queue pair: the fields are written in argument order.
class QUILLON_API CQueuePairDetach : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x31;
    /// The request with the two words.
    CQueuePairDetach(unsigned short first, unsigned short second);
    ~CQueuePairDetach() override;
};

/// A DATA_UP indication: class, sid, conid and payload.
class QUILLON_API CDataUp : public CBasePtapMessage {
  public:
    /// The message id of the indication.
    static constexpr unsigned short MSG_ID = 0x01;

    /// A message to Receive() one indication with.
    CDataUp();
    /// Parses an indication at once (from its id word on).
    CDataUp(const unsigned char* data, unsigned int size);
    ~CDataUp() override;

    /// The payload bytes.
    const std::vector<unsigned char>& Payload() const;
    /// The data class.
    unsigned short Class() const;
    /// The service id.
    unsigned short Sid() const;
    /// The connection id.
    unsigned short ConId() const;

  protected:
    void OnReceive(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    QUILLON_LOCAL void Parse(const unsigned char* data, unsigned int size);

    unsigned short mClass = 0;
    unsigned short mSid = 0;
    unsigned short mConId = 0;
    std::vector<unsigned char> mPayload;
};

/// DATA_DOWN: class, sid, conid and a payload (written only when the pointer is not null and
/// the length not 0); the device answers with a DATA_UP indication, kept as Response().
class QUILLON_API CDataDown : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x00;
    /// The request with its class, service id, connection id and `length` bytes of `payload`
    /// (copied).
    CDataDown(unsigned short dataClass, unsigned short sid, unsigned short conId,
              const unsigned char* payload, unsigned int length);
    ~CDataDown() override;

    /// The DATA_UP received as the reply, or null; owned by this message.
    CDataUp* Response() const;

  protected:
    void OnReceive(unsigned char* data, unsigned int size) override;
    void ClearReply() override;

  private:
    std::unique_ptr<CDataUp> mResponse;
};

/// Starts a test: the value, then the path with the driver's prefix "\??\" as UTF-16LE with
/// its byte count. A full path longer than 255 UTF-16 code units is sent with count 0 and no
/// text.
class QUILLON_API CPtestStart : public CBasePtapMessage {
  public:
    /// The message id of the request.
    static constexpr unsigned short MSG_ID = 0x70;
    /// The request with `value` and the path (in the user's character set), converted as the class
    /// description says.
    CPtestStart(unsigned short value, const std::string path);
    ~CPtestStart() override;

  private:
    QUILLON_LOCAL static const std::string DRIVER_PATH_PREFIX;
    static constexpr unsigned int MAX_PTEST_PATH = 255;
};

}  // namespace comm::ptap
