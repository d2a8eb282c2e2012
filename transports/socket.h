// A socket: one open connection to the PTAP device, identified by its handle. Every operation
// queues a request on the transport (transport.h) and returns at once.
#pragma once

#include <transports/transport.h>

namespace comm::trans {

class TRANSPORTS_API CTransport::CSocket : public comm::ISocket {
  public:
    explicit CSocket(void* handle);
    CSocket(const CSocket& other);
    CSocket& operator=(const CSocket& other);
    // Releases one hold on the default socket when this is it.
    ~CSocket() override;

    void Send(const unsigned char* data, unsigned int size, DataCallback callback,
              ItemActionEnum action) override;
    void Send(const unsigned char* data, unsigned int size, DataCallback callback) override;
    void Receive(DataCallback callback) override;
    void* Handle() override;

    // Marks (or tells) whether this is the transport's shared default socket.
    void Default(bool isDefaultSocket);
    bool Default() const;

  private:
    void* handle;
    bool isDefault;
};

}  // namespace comm::trans
