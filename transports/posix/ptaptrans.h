// The PTAP transport on Linux. Not installed.
//
// The device interfaces are the entries of one folder: the connection-string key "dir", else
// the environment variable PTAP_INTERFACE_DIR, else /dev/ptap. Entries are searched in name
// order and the first whose full path ends with "ptap" is the device. A character device is
// opened for reading and writing; a Unix socket is connected as SOCK_SEQPACKET, so that every
// read and every write carries exactly one PTAP message. A handle is the file descriptor.
#pragma once

#include <transports/transportimp.h>

#include <string>

namespace comm::trans {

class CTransport::CPtapTransport : public CTransport::CTransportImp {
  public:
    // How long a read waits for the device's reply.
    static constexpr int READ_TIMEOUT_MS = 5000;
    static constexpr const char* DEFAULT_INTERFACE_DIR = "/dev/ptap";

    explicit CPtapTransport(ConnectionMap args) : CTransportImp(std::move(args)) {}

    bool Init() override;
    bool Deinit() override;
    ISocket* CreateSocket() override;
    bool CloseSocket(ISocket* socket) override;
    unsigned long SendData(void* handle, const unsigned char* data, unsigned int size) override;
    unsigned long ReceiveData(void* handle, unsigned char* buffer, unsigned int size) override;

    // Closes a connection handle; also used for sockets that outlive their transport.
    static bool CloseHandle(void* handle);

    const std::string& DevicePath() const { return mDevicePath; }

  private:
    std::string InterfaceDirectory() const;
    bool FindInterface(std::string& path, const std::string& name);

    std::string mDevicePath;
};

}  // namespace comm::trans
