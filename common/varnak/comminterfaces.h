/// @file
/// @brief The communication interfaces where the transport library and the PTAP message library
/// meet.
///
/// A message hands its request bytes and a data callback to a socket; the socket copies the
/// bytes, queues them and returns at once; the transport's worker thread later writes them, reads
/// one reply and calls the callback with it. The callback runs on the worker thread and the data
/// pointer it receives is valid only during the call: a receiver that keeps the bytes copies them.
#pragma once

#if defined(__cplusplus) && __cplusplus < 202002L
#error "The transports and quillon headers need C++20 or newer: compile with -std=c++20 or later."
#endif

/// Marks the communication interfaces, which the transport library exports.
#define COMM_API __attribute__((visibility("default")))

namespace comm {

/// Outcome passed to a data callback.
enum DataReceiveResultEnum {
    DATA_OK = 0,              ///< bytes were read; the size is their count
    DATA_SEND_FAILED = 1,     ///< the write failed; nothing was read; size 0
    DATA_RECEIVE_FAILED = 2,  ///< the read failed or timed out; size 0
};

}  // namespace comm

/// What the transport does with a queued request.
enum ItemActionEnum {
    SEND = 0,              ///< write the bytes, then read one reply and deliver it
    SEND_NO_RESPONSE = 1,  ///< write the bytes only; the callback is never called
    RECEIVE = 2,           ///< write nothing; read one message and deliver it
};

/// A copyable callback bound to one member function of one object. It holds the object pointer
/// and a stub that casts it back and calls the member; it is empty when the stub is null.
template <typename R, typename A1, typename A2, typename A3>
class delegate3 {
  public:
    /// The stub: casts `object` back and calls the bound member.
    using stub_type = R (*)(void* object, A1, A2, A3);

    delegate3() = default;

    /// The callback that calls (object->*Method)(a1, a2, a3).
    template <class T, R (T::*Method)(A1, A2, A3)>
    static delegate3 from_method(T* object) {
        delegate3 d;
        d.object_ptr = object;
        d.stub_ptr = &method_stub<T, Method>;
        return d;
    }

    /// True when nothing is bound.
    bool empty() const { return stub_ptr == nullptr; }
    /// True when a member is bound.
    explicit operator bool() const { return stub_ptr != nullptr; }

    /// Calls the bound member. Calling an empty delegate is a programming error; callers test
    /// empty() first.
    R operator()(A1 a1, A2 a2, A3 a3) const { return (*stub_ptr)(object_ptr, a1, a2, a3); }

    /// True when both call the same member of the same object.
    bool operator==(const delegate3& other) const = default;

  private:
    template <class T, R (T::*Method)(A1, A2, A3)>
    static R method_stub(void* object, A1 a1, A2 a2, A3 a3) {
        return (static_cast<T*>(object)->*Method)(a1, a2, a3);
    }

    void* object_ptr = nullptr;
    stub_type stub_ptr = nullptr;
};

namespace comm {

/// The data callback: data pointer, byte count, outcome.
using DataCallback = delegate3<void, unsigned char*, unsigned int, DataReceiveResultEnum>;

/// One open connection to the device. Every operation queues work and returns at once.
class COMM_API ISocket {
  public:
    /// An interface object.
    ISocket();
    /// Copies nothing: an interface has no state.
    ISocket(const ISocket&);
    /// Copies nothing: an interface has no state.
    ISocket& operator=(const ISocket&);

    /// Queues `size` bytes (copied before the call returns) with the given action.
    virtual void Send(const unsigned char* data, unsigned int size, DataCallback callback,
                      ItemActionEnum action) = 0;
    /// The same with action SEND.
    virtual void Send(const unsigned char* data, unsigned int size, DataCallback callback) = 0;
    /// Queues a receive-only request.
    virtual void Receive(DataCallback callback) = 0;
    /// The operating-system handle of the connection.
    virtual void* Handle() = 0;
    /// Destroyed through the interface.
    virtual ~ISocket();
};

/// A message that can be sent; true when it was answered with success.
class COMM_API ISendableMessage {
  public:
    /// An interface object.
    ISendableMessage();
    /// Copies nothing: an interface has no state.
    ISendableMessage(const ISendableMessage&);
    /// Copies nothing: an interface has no state.
    ISendableMessage& operator=(const ISendableMessage&);

    /// Sends on `socket` and waits for the answer.
    virtual bool Send(ISocket& socket) = 0;
    /// Sends on the transport's default socket.
    virtual bool Send() = 0;
    /// Destroyed through the interface.
    virtual ~ISendableMessage();
};

/// A message that can be received; true when one was received with success.
class COMM_API IReceivableMessage {
  public:
    /// An interface object.
    IReceivableMessage();
    /// Copies nothing: an interface has no state.
    IReceivableMessage(const IReceivableMessage&);
    /// Copies nothing: an interface has no state.
    IReceivableMessage& operator=(const IReceivableMessage&);

    /// Waits for one message on `socket`.
    virtual bool Receive(ISocket& socket) = 0;
    /// Receives on the transport's default socket.
    virtual bool Receive() = 0;
    /// Destroyed through the interface.
    virtual ~IReceivableMessage();
};

}  // namespace comm
