// The PS cache: a worker thread reads every key of the chip in the background, reads are then
// answered from the cache, and errors of a background fetch reach the client when it reads the
// key. On the simulated chip of kvcmdsim.
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

// Counts what reaches the client; the answers are the base class's.
class CountingHandler : public kvcmd_trans_error_handler {
  public:
    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int code,
                                      int type) override {
        if (type != -1) {
            ++errors;
            std::printf("  reported to the client: %ls: %ls\n", caption, text);
        }
        return kvcmd_trans_error_handler::answer(text, caption, code, type);
    }
    int errors = 0;
};

constexpr uint16_t kKey = 0x0100;

}  // namespace

int main() {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, kKey, {0x1234, 0x5678});

    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CountingHandler handler;
    server.set_error_handler(&handler);
    PsCache cache;
    cache.SetServer(&server);  // not owned: the server outlives the cache here
    if (!cache.open()) {       // learns the keys and starts the worker
        return 1;
    }
    CKeyWarder keys(&cache);

    // Let the worker prefetch; the client may read at any time, its reads come first.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (cache.PendingEntries() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    chip->ResetCounters();
    uint32_t value = 0;
    if (!keys.pskv_get_uint32(kKey, value) || value != 0x12345678u) {
        return 1;
    }
    std::printf("read 0x%08x from the cache with %llu requests to the chip\n", value,
                static_cast<unsigned long long>(chip->TransactCount()));

    // A write goes straight to the chip (the worker pauses) and the cache forgets the key.
    if (!keys.pskv_set_uint32(kKey, 0x00000042u) || !keys.pskv_get_uint32(kKey, value) ||
        value != 0x42u) {
        return 1;
    }

    // An error of a fetch: the chip refuses the key, the failed read reports it to the client.
    cache.ClearCache(kKey, 0);
    chip->FailRequests(KVCMD_PSSIZE_PDU::VARID, kKey, KVCMD_PDU::STATUS_ACCESS_DENIED, 3);
    const bool read = keys.pskv_get_uint32(kKey, value);
    std::printf("refused read: %s, %d error(s) reported\n", read ? "true" : "false",
                handler.errors);
    cache.close();  // stops the worker and closes the server
    return !read && handler.errors > 0 ? 0 : 1;
}
