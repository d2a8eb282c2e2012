/// @file
/// @brief The PTAP transport: the process-wide connection to the PTAP device driver.
///
/// CTransport is a singleton, built when the library loads and shut down when it unloads. Init()
/// parses a connection string, finds the PTAP device interface and starts one worker thread;
/// sockets (see socket.h) queue requests that the worker writes to the device, one at a time and
/// in queue order, reading each reply into a buffer of QPAIR_TOHOST_BUFFER_SIZE bytes and
/// handing it to the request's data callback on the worker thread.
///
/// Connection string: pairs KEY=VALUE separated by ";". Keys are case-sensitive and nothing is
/// trimmed. A connection string must hold `trans=ptap` (the only transport; the value is
/// compared without regard to case), or be empty, which means "trans=ptap". `dir` alone is not
/// enough: Init("dir=/tmp/x") is refused with "Unknown protocol: ". Known keys:
///   - `trans`: the transport, "ptap";
///   - `dir`: the folder holding the device interfaces (default: the environment variable
///     PTAP_INTERFACE_DIR, else /dev/ptap); its entries are searched in name order and the
///     first whose path ends with "ptap" is the device.
///
/// For example `CTransport::Ref().Init("trans=ptap;dir=/tmp/ptapdev")`. Messages of quillon that
/// are sent before Init() initialise the transport with the empty string.
/// Every pair is kept and can be read back with Arg().
///
/// Failures are returned as false (or null) and the reason is recorded as the error text of the
/// communication group of the diagnostics framework (<ostrel/ostrel.h>); see @ref transports_errors
/// and, for the threads, @ref transports_threading.
#pragma once

#include <varnak/comminterfaces.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

/// Marks what the transports library exports.
#define TRANSPORTS_API __attribute__((visibility("default")))
/// Marks the inside of an exported class as not exported.
#define TRANSPORTS_LOCAL __attribute__((visibility("hidden")))

class CSignal;

namespace comm::trans {

struct TransportsLibrary;

/// The process's one transport (see the file description): use it through Ref(). Every member may
/// be called from any thread.
class TRANSPORTS_API CTransport {
  public:
    /// Size of the buffer one reply is read into; a longer reply is refused.
    static constexpr unsigned long QPAIR_TOHOST_BUFFER_SIZE = 8192;
    /// The protocol name: "ptap".
    static const std::string PTAP_TRANS;
    /// The connection-string key that chooses the transport: "trans".
    static const std::string TRANS_KEY;
    /// The name the device interface path ends with: "ptap".
    static const std::string PTAP_INTERFACE_NAME;

    class CSocket;
    class TRANSPORTS_LOCAL CTransportImp;
    class TRANSPORTS_LOCAL CPtapTransport;

    CTransport(const CTransport&) = delete;
    CTransport& operator=(const CTransport&) = delete;

    /// The one transport of the process.
    static CTransport& Ref();

    /// Builds the transport the connection string chooses, finds the device and starts the
    /// worker. True when initialised (also when it already was).
    bool Init(const std::string& connection);
    /// True while initialised (between a successful Init() and Deinit()).
    bool Initialized() const;
    /// The value of `name` in the connection string ("" when absent). False, with `value`
    /// unchanged, when the transport is not initialised.
    bool Arg(const std::string& name, std::string& value);
    /// Refuses new requests, gives the worker up to 2000 ms to serve those already queued, then
    /// closes the default socket, stops the worker and drops the implementation. Requests still
    /// queued when that wait runs out, and those queued meanwhile, are completed with
    /// DATA_RECEIVE_FAILED. True also when already shut.
    bool Deinit();

    /// A new socket with its own connection to the device (initialising the transport with an
    /// empty connection string when needed), or null. Give it back with DestroySocket().
    ISocket* CreateSocket();
    /// Closes and deletes *socket and sets it to null; for the default socket it releases one
    /// hold instead. Null pointers are accepted and give true.
    bool DestroySocket(ISocket** socket);
    /// The socket shared by the whole process, made on first use; each call adds one hold.
    ISocket* GetDefaultSocket();

  private:
    friend struct TransportsLibrary;
    class TRANSPORTS_LOCAL CThread;

    /// One queued request.
    struct QueueItem {
        void* handle = nullptr;
        std::unique_ptr<unsigned char[]> data;  ///< copy of the bytes to write; null to receive
        unsigned int size = 0;
        ItemActionEnum action = SEND;
        DataCallback callback;
    };

    TRANSPORTS_LOCAL CTransport();
    TRANSPORTS_LOCAL ~CTransport();

    TRANSPORTS_LOCAL bool CreateTransport(const std::string& connection);
    TRANSPORTS_LOCAL void RelDefaultSocket(CSocket* dying = nullptr);
    TRANSPORTS_LOCAL bool CloseSocketHandle(ISocket* socket);

    /// Queueing, called by sockets from any thread.
    TRANSPORTS_LOCAL void SendData(void* handle, const unsigned char* data, unsigned int size,
                                   DataCallback callback, ItemActionEnum action);
    TRANSPORTS_LOCAL void SendData(void* handle, const unsigned char* data, unsigned int size,
                                   DataCallback callback);
    TRANSPORTS_LOCAL void ReceiveData(void* handle, DataCallback callback);
    TRANSPORTS_LOCAL void Enqueue(QueueItem item);
    /// Waits up to `milliseconds` until the worker has served every queued request.
    TRANSPORTS_LOCAL void WaitQueueServed(unsigned long milliseconds);
    /// Completes every queued request with DATA_RECEIVE_FAILED.
    TRANSPORTS_LOCAL void FailQueuedItems();

    /// The worker's side.
    TRANSPORTS_LOCAL void Signal();
    TRANSPORTS_LOCAL void Wait();
    TRANSPORTS_LOCAL void Process();
    TRANSPORTS_LOCAL void ProcessItem(QueueItem& item);

    /// Whether the queue takes requests: not while shut, nor once Deinit has begun.
    enum class Intake { CLOSED, OPEN, CLOSING };

    std::deque<QueueItem> mQueue;
    std::unique_ptr<CSignal> mQueueSignal;
    /// Guards mQueue, mIntake and mServing. Kept apart from mLock so that the worker never waits
    /// for a caller that holds mLock while it stops the worker.
    std::mutex mQueueLock;
    std::condition_variable mQueueServed;  ///< the queue is empty and no request is in hand
    Intake mIntake = Intake::CLOSED;
    bool mServing = false;  ///< the worker is carrying out a request
    /// The buffer the worker reads replies into, made on first use and kept for the process.
    std::unique_ptr<unsigned char[]> mReplyBuffer;
    /// Guards initialisation and the default socket; recursive because GetDefaultSocket()
    /// may initialise the transport while holding it.
    std::recursive_mutex mLock;
    std::unique_ptr<CThread> mThread;
    std::unique_ptr<CTransportImp> mTransport;
    ISocket* mDefaultSocket = nullptr;
    int16_t mDefaultSocketRefs = 0;
    std::atomic<bool> mInitialized{false};

    TRANSPORTS_LOCAL static CTransport* mInstance;
};

}  // namespace comm::trans
