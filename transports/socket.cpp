#include <transports/socket.h>

namespace comm::trans {

CTransport::CSocket::CSocket(void* handle) : handle(handle), isDefault(false) {}

CTransport::CSocket::CSocket(const CSocket& other)
    : ISocket(other), handle(other.handle), isDefault(other.isDefault) {}

CTransport::CSocket& CTransport::CSocket::operator=(const CSocket& other) {
    handle = other.handle;
    isDefault = other.isDefault;
    return *this;
}

CTransport::CSocket::~CSocket() {
    if (isDefault) {
        CTransport::Ref().RelDefaultSocket(this);
    }
}

void CTransport::CSocket::Send(const unsigned char* data, unsigned int size, DataCallback callback,
                               ItemActionEnum action) {
    CTransport::Ref().SendData(handle, data, size, callback, action);
}

void CTransport::CSocket::Send(const unsigned char* data, unsigned int size,
                               DataCallback callback) {
    CTransport::Ref().SendData(handle, data, size, callback, SEND);
}

void CTransport::CSocket::Receive(DataCallback callback) {
    CTransport::Ref().ReceiveData(handle, callback);
}

void* CTransport::CSocket::Handle() {
    return handle;
}

void CTransport::CSocket::Default(bool isDefaultSocket) {
    isDefault = isDefaultSocket;
}

bool CTransport::CSocket::Default() const {
    return isDefault;
}

}  // namespace comm::trans
