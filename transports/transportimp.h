// The abstract transport implementation behind CTransport. Not installed.
#pragma once

#include <transports/transport.h>

#include <map>
#include <string>

namespace comm::trans {

using ConnectionMap = std::map<std::string, std::string>;

class CTransport::CTransportImp {
  public:
    explicit CTransportImp(ConnectionMap args) : mArgs(std::move(args)) {}
    virtual ~CTransportImp() = default;
    CTransportImp(const CTransportImp&) = delete;
    CTransportImp& operator=(const CTransportImp&) = delete;

    virtual bool Init() = 0;
    virtual bool Deinit() = 0;
    // A new socket owning an open connection, or null.
    virtual ISocket* CreateSocket() = 0;
    // Closes the socket's connection; does not delete the socket.
    virtual bool CloseSocket(ISocket* socket) = 0;
    // Bytes written or read; 0 for failure (the reason is recorded).
    virtual unsigned long SendData(void* handle, const unsigned char* data, unsigned int size) = 0;
    virtual unsigned long ReceiveData(void* handle, unsigned char* buffer, unsigned int size) = 0;
    // Ends a read or write in progress and makes later ones fail at once: the worker is being
    // stopped and must not stay blocked on the device.
    virtual void StopIo() {}

    // The value of `name` in the connection string, "" when absent.
    std::string Arg(const std::string& name) const {
        auto it = mArgs.find(name);
        return it == mArgs.end() ? std::string() : it->second;
    }

  private:
    ConnectionMap mArgs;
};

}  // namespace comm::trans
