// A host program using the installed transport library: it starts the installed simulated
// device, initialises the transport on its folder, sends a service query on the default socket
// and checks the response header.
#include <transports/transport.h>

#include "ptapsim_process.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

class Reply {
  public:
    comm::DataCallback Callback() {
        return comm::DataCallback::from_method<Reply, &Reply::OnData>(this);
    }
    void OnData(unsigned char* data, unsigned int size, comm::DataReceiveResultEnum result) {
        std::lock_guard<std::mutex> guard(mLock);
        mBytes.assign(data, data + size);
        mResult = result;
        mDone = true;
        mChanged.notify_one();
    }
    std::vector<unsigned char> Wait(comm::DataReceiveResultEnum& result) {
        std::unique_lock<std::mutex> guard(mLock);
        mChanged.wait(guard, [this] { return mDone; });
        result = mResult;
        return mBytes;
    }

  private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mDone = false;
    comm::DataReceiveResultEnum mResult = comm::DATA_OK;
    std::vector<unsigned char> mBytes;
};

}  // namespace

int main() {
    using comm::trans::CTransport;
    PtapsimProcess device(reinterpret_cast<void*>(&CTransport::Ref));
    if (!device.Running()) {
        return 1;
    }
    CTransport& transport = CTransport::Ref();
    if (!transport.Init("trans=ptap;dir=" + device.Dir())) {
        std::fprintf(stderr, "transport did not initialise\n");
        return 1;
    }
    comm::ISocket* socket = transport.GetDefaultSocket();
    if (socket == nullptr) {
        std::fprintf(stderr, "no default socket\n");
        return 1;
    }
    const unsigned char query[] = {0x11, 0x00};
    Reply reply;
    socket->Send(query, sizeof query, reply.Callback());
    comm::DataReceiveResultEnum result;
    const std::vector<unsigned char> bytes = reply.Wait(result);
    transport.Deinit();
    if (result != comm::DATA_OK || bytes.size() < 4 || bytes[0] != 0x11 || bytes[1] != 0x80 ||
        bytes[2] != 0 || bytes[3] != 0) {
        std::fprintf(stderr, "unexpected reply (%zu bytes)\n", bytes.size());
        return 1;
    }
    if (!device.Stop()) {
        std::fprintf(stderr, "ptapsim did not stop cleanly\n");
        return 1;
    }
    std::printf("transports consumer: %zu-byte service reply\n", bytes.size());
    return 0;
}
