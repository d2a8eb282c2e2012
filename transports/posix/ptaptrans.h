// The PTAP transport on Linux. Not installed.
//
// The device interfaces are the entries of one folder: the connection-string key "dir", else
// the environment variable PTAP_INTERFACE_DIR, else /dev/ptap. Entries are searched in name
// order and the first whose full path ends with "ptap" is the device. A character device is
// opened for reading and writing; a Unix socket is connected as SOCK_SEQPACKET, so that every
// read and every write carries exactly one PTAP message. A handle is the file descriptor.
#pragma once

#include <transports/transportimp.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace comm::trans {

class CTransport::CPtapTransport : public CTransport::CTransportImp {
  public:
    // How long a read waits for the device's reply.
    static constexpr int READ_TIMEOUT_MS = 5000;
    static constexpr const char* DEFAULT_INTERFACE_DIR = "/dev/ptap";

    explicit CPtapTransport(ConnectionMap args);
    ~CPtapTransport() override;

    bool Init() override;
    bool Deinit() override;
    ISocket* CreateSocket() override;
    bool CloseSocket(ISocket* socket) override;
    unsigned long SendData(void* handle, const unsigned char* data, unsigned int size) override;
    unsigned long ReceiveData(void* handle, unsigned char* buffer, unsigned int size) override;
    void StopIo() override;

    // Closes a connection handle; also used for sockets that outlive their transport.
    static bool CloseHandle(void* handle);

    const std::string& DevicePath() const { return mDevicePath; }

  private:
    class IoScope;
    enum class WaitResult { READY, TIMEOUT, STOPPED, FAILED };

    // Waits until `fd` is ready for `events`, I/O is stopped, or `timeoutMs` has passed
    // (negative: no limit); `revents` receives what poll reported for `fd`.
    WaitResult WaitFor(int fd, short events, int timeoutMs, short& revents);

    std::string InterfaceDirectory() const;
    bool FindInterface(std::string& path, const std::string& name);

    std::string mDevicePath;
    int mStopFd = -1;  // an eventfd that becomes readable when I/O is stopped
    std::atomic<bool> mStopped{false};

    // The connections opened here and the one the worker is reading or writing. A connection
    // is closed only once the worker has left it, so its descriptor is never reused under a
    // read or write in progress; the worker touches no descriptor that is not open here.
    std::mutex mConnectionsLock;
    std::condition_variable mConnectionIdle;
    std::set<int> mOpen;
    int mBusy = -1;
};

}  // namespace comm::trans
