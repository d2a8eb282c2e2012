#include <transports/transport.h>

#include <transports/posix/ptaptrans.h>
#include <transports/socket.h>
#include <transports/stringutil.h>

#include <ostrel/ostrel.h>
#include <varnak/signal.h>
#include <varnak/threadable.h>

#include <chrono>
#include <limits>
#include <utility>

namespace comm::trans {

namespace {

constexpr auto kComm = CMessageHandler::GROUP_COMMUNICATION;
constexpr unsigned long kStopWaitMs = 2000;
constexpr unsigned long kJoinWaitMs = 1000;

// Calls a request's callback exactly once: with the outcome when the worker finishes the
// request, or with DATA_RECEIVE_FAILED if the worker is terminated before that, so that the
// caller waiting for the reply is always released.
class PendingCallback {
  public:
    explicit PendingCallback(DataCallback callback) : mCallback(callback) {}
    ~PendingCallback() { Complete(nullptr, 0, DATA_RECEIVE_FAILED); }
    PendingCallback(const PendingCallback&) = delete;
    PendingCallback& operator=(const PendingCallback&) = delete;

    void Complete(unsigned char* data, unsigned int size, DataReceiveResultEnum result) {
        const DataCallback callback = std::exchange(mCallback, DataCallback());
        if (!callback.empty()) {
            callback(data, size, result);
        }
    }

  private:
    DataCallback mCallback;
};

}  // namespace

// The worker: waits for the queue signal and drains the queue until told to stop.
class CTransport::CThread : public Threadable {
  public:
    explicit CThread(CTransport& owner) : mOwner(owner) {}
    ~CThread() override { StopAndJoin(kJoinWaitMs); }

    void Stop() override {
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Call base class Stop()");
        Threadable::Stop();
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Trigger queue to be processed");
        mOwner.Signal();
        if (mExitAwaited) {
            return;  // the destructor's stop does not wait a second time
        }
        mExitAwaited = true;
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Waiting for queue thread func to exit");
        // A thread stopped before it ran never sets the exit signal: nothing to wait for.
        if (IsRunning() && !mExit.Wait(kStopWaitMs)) {
            OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                         "Signal wait timed out, close anyway");
        }
    }

  protected:
    uint32_t ThreadFunc() override {
        while (KeepRunning()) {
            mOwner.Wait();
            OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                         "Queue processing has been triggered");
            if (KeepRunning()) {
                mOwner.Process();
            } else {
                OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                             "Thread has been stopped. Leave loop");
            }
        }
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Signal exiting main thread func");
        mExit.Set();
        return 0;
    }

  private:
    CTransport& mOwner;
    CSignal mExit;
    bool mExitAwaited = false;
};

CTransport* CTransport::mInstance = nullptr;
const std::string CTransport::PTAP_TRANS = "ptap";
const std::string CTransport::TRANS_KEY = "trans";
const std::string CTransport::PTAP_INTERFACE_NAME = "ptap";

CTransport::CTransport() : mQueueSignal(std::make_unique<CSignal>()) {}

CTransport::~CTransport() {
    Deinit();
}

CTransport& CTransport::Ref() {
    return *mInstance;
}

bool CTransport::Init(const std::string& connection) {
    std::lock_guard<std::recursive_mutex> guard(mLock);
    bool result = true;
    OSTREL_TRACE_RETURN(kComm, result);
    if (mInitialized) {
        return result;
    }
    mDefaultSocketRefs = 0;
    result = CreateTransport(connection);
    if (result) {
        mThread = std::make_unique<CThread>(*this);
        result = mTransport->Init() && mThread->Start();
    }
    if (result) {
        std::lock_guard<std::mutex> queueGuard(mQueueLock);
        mIntake = Intake::OPEN;
    } else {
        mThread.reset();
        mTransport.reset();
    }
    mInitialized = result;
    return result;
}

bool CTransport::Initialized() const {
    return mInitialized;
}

bool CTransport::CreateTransport(const std::string& connection) {
    const std::string text = connection.empty() ? TRANS_KEY + "=" + PTAP_TRANS : connection;
    ConnectionMap args;
    if (!stringutil::StringToMap(text, '=', ';', args)) {
        OSTREL_SET_ERROR(kComm, "Badly formatted connection string");
        return false;
    }
    auto it = args.find(TRANS_KEY);
    const std::string protocol = it == args.end() ? std::string() : it->second;
    if (stringutil::ToLower(protocol) == PTAP_TRANS) {
        mTransport = std::make_unique<CPtapTransport>(std::move(args));
        return true;
    }
    OSTREL_SET_ERROR(kComm, "Unknown protocol: " + protocol);
    return false;
}

bool CTransport::Arg(const std::string& name, std::string& value) {
    std::lock_guard<std::recursive_mutex> guard(mLock);
    if (!mInitialized) {
        OSTREL_SET_ERROR(kComm, "Transport not initialized");
        return false;
    }
    value = mTransport->Arg(name);
    return true;
}

bool CTransport::Deinit() {
    std::lock_guard<std::recursive_mutex> guard(mLock);
    bool result = true;
    OSTREL_TRACE_RETURN(kComm, result);
    if (!mInitialized) {
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_WARNING, "Device already shut");
        return result;
    }
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Shutdown device");
    {
        std::lock_guard<std::mutex> queueGuard(mQueueLock);
        mIntake = Intake::CLOSING;
    }
    // Requests already queued are served while the device answers within the stop's wait;
    // closing the default socket first would fail them although the device would answer.
    WaitQueueServed(kStopWaitMs);
    FailQueuedItems();
    if (mDefaultSocket != nullptr) {
        mDefaultSocketRefs = 1;
        ISocket* socket = mDefaultSocket;
        result = DestroySocket(&socket);
    }
    if (!mTransport->Deinit()) {
        result = false;
    }
    // The worker goes before the implementation, so no request reaches a deleted one.
    mTransport->StopIo();
    mThread->Stop();
    mThread.reset();
    FailQueuedItems();  // none is left unless the worker was terminated
    mTransport.reset();
    {
        std::lock_guard<std::mutex> queueGuard(mQueueLock);
        mIntake = Intake::CLOSED;
    }
    mInitialized = false;
    return result;
}

void CTransport::WaitQueueServed(unsigned long milliseconds) {
    std::unique_lock<std::mutex> guard(mQueueLock);
    mQueueServed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                          [this] { return mQueue.empty() && !mServing; });
}

void CTransport::FailQueuedItems() {
    std::deque<QueueItem> left;
    {
        std::lock_guard<std::mutex> guard(mQueueLock);
        left.swap(mQueue);
        mQueueSignal->Clear();
    }
    for (QueueItem& item : left) {
        if (item.action != SEND_NO_RESPONSE && !item.callback.empty()) {
            item.callback(nullptr, 0, DATA_RECEIVE_FAILED);
        }
    }
}

void CTransport::SendData(void* handle, const unsigned char* data, unsigned int size,
                          DataCallback callback, ItemActionEnum action) {
    QueueItem item;
    item.handle = handle;
    item.size = size;
    item.action = action;
    item.callback = callback;
    item.data.reset(new unsigned char[size]);
    if (size > 0) {
        std::copy(data, data + size, item.data.get());
    }
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                 "Queueing item to send data: aHandle = %d, aSize = %d",
                 static_cast<int>(reinterpret_cast<intptr_t>(handle)), static_cast<int>(size));
    Enqueue(std::move(item));
}

void CTransport::SendData(void* handle, const unsigned char* data, unsigned int size,
                          DataCallback callback) {
    SendData(handle, data, size, callback, SEND);
}

void CTransport::ReceiveData(void* handle, DataCallback callback) {
    QueueItem item;
    item.handle = handle;
    item.action = RECEIVE;
    item.callback = callback;
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Queueing item to receive data: aHandle = %d",
                 static_cast<int>(reinterpret_cast<intptr_t>(handle)));
    Enqueue(std::move(item));
}

void CTransport::Enqueue(QueueItem item) {
    Intake intake;
    {
        std::lock_guard<std::mutex> guard(mQueueLock);
        intake = mIntake;
        if (intake == Intake::OPEN) {
            mQueue.push_back(std::move(item));
            OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Signaling the queue");
            mQueueSignal->Set();
            return;
        }
    }
    // No worker will carry the request out: fail it now rather than leave its caller waiting.
    const bool closing = intake == Intake::CLOSING;
    OSTREL_SET_ERROR(kComm, closing ? "Transport is shutting down" : "Transport not initialized");
    if (item.action != SEND_NO_RESPONSE && !item.callback.empty()) {
        item.callback(nullptr, 0, closing ? DATA_RECEIVE_FAILED : DATA_SEND_FAILED);
    }
}

void CTransport::Signal() {
    mQueueSignal->Set();
}

void CTransport::Wait() {
    mQueueSignal->Wait(-1);
}

void CTransport::Process() {
    OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Start processing the queue");
    for (;;) {
        QueueItem item;
        {
            // The emptiness test and the Clear happen under the lock that every append takes,
            // so a request queued meanwhile either is seen here or sets the signal again.
            std::lock_guard<std::mutex> guard(mQueueLock);
            mServing = false;
            if (mQueue.empty()) {
                mQueueSignal->Clear();
                mQueueServed.notify_all();
                return;
            }
            OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "There are %d items in the queue",
                         static_cast<int>(mQueue.size()));
            item = std::move(mQueue.front());
            mQueue.pop_front();
            mServing = true;
        }
        ProcessItem(item);
    }
}

void CTransport::ProcessItem(QueueItem& item) {
    // One reply buffer serves every request: only the worker uses it, one request at a time,
    // and a callback may use the bytes only during the call.
    if (!mReplyBuffer) {
        mReplyBuffer.reset(new unsigned char[QPAIR_TOHOST_BUFFER_SIZE]);
    }
    unsigned char* buffer = mReplyBuffer.get();
    PendingCallback pending(item.action == SEND_NO_RESPONSE ? DataCallback() : item.callback);
    DataReceiveResultEnum result = DATA_OK;
    unsigned long count = 0;
    if (item.action == SEND || item.action == SEND_NO_RESPONSE) {
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE,
                     item.action == SEND ? "Item action is SEND"
                                         : "Item action is SEND (no response expected)");
        if (mTransport->SendData(item.handle, item.data.get(), item.size) == 0) {
            result = DATA_SEND_FAILED;
        }
        item.data.reset();
    } else if (item.action == RECEIVE) {
        OSTREL_DEBUG(kComm, CMessageHandler::LEVEL_TRACE, "Item action is RECEIVE");
    }
    if (result == DATA_OK && item.action != SEND_NO_RESPONSE) {
        count = mTransport->ReceiveData(item.handle, buffer, QPAIR_TOHOST_BUFFER_SIZE);
        if (count == 0) {
            result = DATA_RECEIVE_FAILED;
        }
    }
    pending.Complete(buffer, static_cast<unsigned int>(count), result);
}

ISocket* CTransport::CreateSocket() {
    std::lock_guard<std::recursive_mutex> guard(mLock);
    if (!mInitialized) {
        Init("");
    }
    return mInitialized ? mTransport->CreateSocket() : nullptr;
}

bool CTransport::DestroySocket(ISocket** socket) {
    bool result = true;
    if (socket == nullptr || *socket == nullptr) {
        return result;
    }
    std::lock_guard<std::recursive_mutex> guard(mLock);
    auto* own = dynamic_cast<CSocket*>(*socket);
    if (own != nullptr && own->Default()) {
        RelDefaultSocket();
    } else {
        result = CloseSocketHandle(*socket);
        delete *socket;
    }
    *socket = nullptr;
    return result;
}

bool CTransport::CloseSocketHandle(ISocket* socket) {
    // A socket may outlive the transport that made it; its connection is closed all the same.
    return mTransport ? mTransport->CloseSocket(socket)
                      : CPtapTransport::CloseHandle(socket->Handle());
}

ISocket* CTransport::GetDefaultSocket() {
    std::lock_guard<std::recursive_mutex> guard(mLock);
    if (mDefaultSocket == nullptr) {
        mDefaultSocket = CreateSocket();
        if (auto* own = dynamic_cast<CSocket*>(mDefaultSocket)) {
            own->Default(true);
        }
    }
    // Holds are never given back by messages; the count stops at its maximum rather than wrap
    // around and close the socket under its holders.
    if (mDefaultSocket != nullptr && mDefaultSocketRefs < std::numeric_limits<int16_t>::max()) {
        ++mDefaultSocketRefs;
    }
    return mDefaultSocket;
}

void CTransport::RelDefaultSocket(CSocket* dying) {
    std::lock_guard<std::recursive_mutex> guard(mLock);
    if (mDefaultSocket == nullptr) {
        return;
    }
    if (mDefaultSocketRefs-- != 1) {
        return;
    }
    CloseSocketHandle(mDefaultSocket);
    if (mDefaultSocket != dying) {
        if (auto* own = dynamic_cast<CSocket*>(mDefaultSocket)) {
            own->Default(false);  // its destructor has no hold left to release
        }
        delete mDefaultSocket;
    }
    mDefaultSocket = nullptr;
    mDefaultSocketRefs = 0;
}

}  // namespace comm::trans
