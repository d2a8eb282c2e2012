/// @file
/// @brief A socket: one open connection to the PTAP device, identified by its handle. Every
/// operation queues a request on the transport (transport.h) and returns at once.
#pragma once

#include <transports/transport.h>

namespace comm::trans {

/// A socket of the transport (see the file description); made by CTransport::CreateSocket() or
/// CTransport::GetDefaultSocket(). Its operations may be called from any thread.
class TRANSPORTS_API CTransport::CSocket : public comm::ISocket {
  public:
    /// A socket on the open device handle `handle` (the transport makes sockets).
    explicit CSocket(void* handle);
    /// Another socket on the same handle; never the default socket.
    CSocket(const CSocket& other);
    /// Refers to `other`'s handle from now on.
    CSocket& operator=(const CSocket& other);
    /// Releases one hold on the default socket when this is it.
    ~CSocket() override;

    void Send(const unsigned char* data, unsigned int size, DataCallback callback,
              ItemActionEnum action) override;
    void Send(const unsigned char* data, unsigned int size, DataCallback callback) override;
    void Receive(DataCallback callback) override;
    void* Handle() override;

    /// Marks whether this is the transport's shared default socket.
    void Default(bool isDefaultSocket);
    /// Whether this is the transport's default socket.
    bool Default() const;

  private:
    void* handle;
    bool isDefault;
};

}  // namespace comm::trans
