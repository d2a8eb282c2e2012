// EnumeratePtapServices (message, transport queue and worker, parsing and the six texts)
// against the bare round trip of the same request and reply over a SOCK_SEQPACKET connection
// to the same simulated device.
#include <bench/common/ratio.h>

#include <quillon/ptapenumeration.h>
#include <transports/transport.h>

#include <ptapsim/ptapsim.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

namespace {

ptapsim::TempDevice& Device() {
    static ptapsim::TempDevice device;
    return device;
}

void BM_EnumeratePtapServices(benchmark::State& state) {
    if (!Device().Ok() || !comm::trans::CTransport::Ref().Init(Device().Connection())) {
        state.SkipWithError("no simulated device");
        return;
    }
    char ids[256], words1[256], words2[256], lows[256], bits[256], words4[256];
    for (auto _ : state) {
        unsigned short size = sizeof ids;
        unsigned short count = 0;
        if (EnumeratePtapServices(&size, ids, words1, words2, lows, bits, words4, &count) !=
                comm::ptap::CPtapEnumeration::OK ||
            count != 3) {
            state.SkipWithError("enumeration failed");
            break;
        }
        benchmark::DoNotOptimize(ids);
    }
    state.counters["enumerations_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    comm::trans::CTransport::Ref().Deinit();
}
BENCHMARK(BM_EnumeratePtapServices)->UseRealTime();

void BM_BareServicesRoundTrip(benchmark::State& state) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Device().SocketPath().c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (!Device().Ok() || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("no simulated device");
        close(fd);
        return;
    }
    const unsigned char request[] = {0x11, 0x00};
    unsigned char reply[8192];
    for (auto _ : state) {
        pollfd waiting{fd, POLLIN, 0};
        if (send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
            poll(&waiting, 1, 5000) != 1 || recv(fd, reply, sizeof reply, 0) != 4 + 3 * 10) {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    close(fd);
}
BENCHMARK(BM_BareServicesRoundTrip)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {{"EnumeratePtapServices against a bare socket round trip",
          "BM_EnumeratePtapServices/real_time", "BM_BareServicesRoundTrip/real_time"}},
        {{"service enumerations per second", "BM_EnumeratePtapServices/real_time",
          "enumerations_per_second", "enumerations/s"}});
}
