// The round trip of one short PTAP request and its reply through the transport (queue, worker,
// callback, caller wakes), against the same bytes over a bare SOCK_SEQPACKET connection to the
// same simulated device.
#include <bench/common/ratio.h>

#include <transports/transport.h>

#include <varnak/signal.h>

#include <ptapsim/ptapsim.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

using comm::trans::CTransport;

// SERVICE_AVAILABLE for service 1: a 4-byte request answered by a 4-byte response.
const unsigned char kRequest[] = {0x26, 0x00, 0x01, 0x00};

ptapsim::TempDevice& Device() {
    static ptapsim::TempDevice device;
    return device;
}

// Wakes the caller when the worker delivers the reply, with the event a PTAP message waits on.
class Waiter {
  public:
    comm::DataCallback Callback() {
        return comm::DataCallback::from_method<Waiter, &Waiter::OnData>(this);
    }
    void OnData(unsigned char* /*data*/, unsigned int size, comm::DataReceiveResultEnum result) {
        mOk = result == comm::DATA_OK && size == 4;
        mReply.Set();
    }
    bool Wait() {
        mReply.Wait(-1);
        mReply.Clear();
        return mOk;
    }

  private:
    CSignal mReply;
    bool mOk = false;  // written before Set, read after Wait: the event's lock orders them
};

void BM_Transport(benchmark::State& state) {
    CTransport& transport = CTransport::Ref();
    if (!Device().Ok() || !transport.Init(Device().Connection())) {
        state.SkipWithError("no simulated device");
        return;
    }
    comm::ISocket* socket = transport.GetDefaultSocket();
    Waiter waiter;
    for (auto _ : state) {
        socket->Send(kRequest, sizeof kRequest, waiter.Callback());
        if (!waiter.Wait()) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.counters["requests_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    transport.Deinit();
}
BENCHMARK(BM_Transport)->UseRealTime();

void BM_BareSocket(benchmark::State& state) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Device().SocketPath().c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (!Device().Ok() || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("no simulated device");
        close(fd);
        return;
    }
    unsigned char reply[CTransport::QPAIR_TOHOST_BUFFER_SIZE];
    for (auto _ : state) {
        pollfd waiting{fd, POLLIN, 0};
        if (send(fd, kRequest, sizeof kRequest, MSG_NOSIGNAL) != sizeof kRequest ||
            poll(&waiting, 1, 5000) != 1 || recv(fd, reply, sizeof reply, 0) != 4) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.counters["requests_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    close(fd);
}
BENCHMARK(BM_BareSocket)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {{"transport round trip against a bare socket", "BM_Transport/real_time",
          "BM_BareSocket/real_time"}},
        {{"requests per second through the transport", "BM_Transport/real_time",
          "requests_per_second", "requests/s"},
         {"requests per second over a bare socket", "BM_BareSocket/real_time",
          "requests_per_second", "requests/s"}});
}
