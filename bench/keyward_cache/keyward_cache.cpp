// What the PS cache buys over a link where every request costs time.
//
// The simulated chip answers each request after 50 microseconds, the order of a real link. Its
// firmware knows 100 keys, each holding a value; the cache also wants the 512 boot-mode slots.
//
// - Requests per key of a full prefetch: the worker fetches every (key, store) pair, size then
//   value, so a key with one value costs a size request per store and one value request. The
//   floor for a key is two (size and value).
// - Reading every key through PsKvcmd directly (two requests each) against reading them through
//   the cache after its prefetch: the ratio is what the cache saves.
// - A cold read of one key while the prefetch runs, against the same read through PsKvcmd: the
//   client's request goes before the prefetch, so it waits at most for the fetch in hand.
#include <bench/common/ratio.h>
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr auto kRequestDelay = std::chrono::microseconds(50);
constexpr uint16_t kFirstKey = 0x0100;
constexpr uint16_t kKeyCount = 100;
constexpr uint16_t kLastKey = kFirstKey + kKeyCount - 1;

std::shared_ptr<kvcmdsim::SimChip> SlowChip() {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetFirmwareKeys({{kFirstKey, kLastKey}, {1200, 1719}});
    for (uint16_t key = kFirstKey; key <= kLastKey; ++key) {
        chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, key, {key, 0x0001, 0x0002});
    }
    chip->SetRequestDelay(kRequestDelay);
    return chip;
}

// A cache over a slow chip.
struct CachedChip {
    std::shared_ptr<kvcmdsim::SimChip> chip = SlowChip();
    PsKvcmd server{new kvcmdsim::SimTransport(chip)};
    PsCache cache;

    // Opens the cache (which starts the prefetch); false when the chip did not open.
    bool Open(benchmark::State& state) {
        cache.SetServer(&server);
        if (!cache.open()) {
            state.SkipWithError("the simulated chip did not open");
            return false;
        }
        return true;
    }
};

void WaitPrefetched(PsCache& cache) {
    while (cache.PendingEntries() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Reads a key the way CKeyWarder does: its size, then its value.
bool ReadKey(PsServer& server, uint16_t key) {
    uint16_t size = 0;
    uint16_t words[8];
    uint16_t length = 0;
    return server.pskv_size(key, &size, false) &&
           server.pskv_get(key, words, std::min<uint16_t>(size, 8), &length, false);
}

void BM_FullPrefetch(benchmark::State& state) {
    double requests = 0;
    double keys = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CachedChip cached;
        if (!cached.Open(state)) {
            return;
        }
        const uint64_t before = cached.chip->TransactCount();
        state.ResumeTiming();
        WaitPrefetched(cached.cache);
        state.PauseTiming();
        requests += static_cast<double>(cached.chip->TransactCount() - before);
        keys += kKeyCount + (PsCache::BOOTMODE_KEYS_END - PsCache::BOOTMODE_SLOT_KEY);
        state.ResumeTiming();
    }
    state.counters["requests_per_key"] = requests / keys;
    state.counters["keys"] = keys / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FullPrefetch)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CachedReadAll(benchmark::State& state) {
    CachedChip cached;
    if (!cached.Open(state)) {
        return;
    }
    WaitPrefetched(cached.cache);
    const uint64_t before = cached.chip->TransactCount();
    for (auto _ : state) {
        for (uint16_t key = kFirstKey; key <= kLastKey; ++key) {
            benchmark::DoNotOptimize(ReadKey(cached.cache, key));
        }
    }
    state.counters["requests"] = static_cast<double>(cached.chip->TransactCount() - before);
}
BENCHMARK(BM_CachedReadAll)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DirectReadAll(benchmark::State& state) {
    PsKvcmd server(new kvcmdsim::SimTransport(SlowChip()));
    if (!server.open()) {
        state.SkipWithError("the simulated chip did not open");
        return;
    }
    for (auto _ : state) {
        for (uint16_t key = kFirstKey; key <= kLastKey; ++key) {
            benchmark::DoNotOptimize(ReadKey(server, key));
        }
    }
}
BENCHMARK(BM_DirectReadAll)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ColdReadDuringPrefetch(benchmark::State& state) {
    CachedChip cached;
    if (!cached.Open(state)) {
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        // Everything wanted again: the worker starts over from the first key, and the last key
        // is far behind.
        cached.cache.ClearCache();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.ResumeTiming();
        benchmark::DoNotOptimize(ReadKey(cached.cache, kLastKey));
    }
    if (cached.cache.PendingEntries() == 0) {
        state.SkipWithError("the prefetch ended before the reads");
    }
}
BENCHMARK(BM_ColdReadDuringPrefetch)->Iterations(40)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DirectRead(benchmark::State& state) {
    PsKvcmd server(new kvcmdsim::SimTransport(SlowChip()));
    if (!server.open()) {
        state.SkipWithError("the simulated chip did not open");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadKey(server, kLastKey));
    }
}
BENCHMARK(BM_DirectRead)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {
            {"reading 100 keys through PsKvcmd vs through PsCache after its prefetch (50 us per "
             "request; the ratio is the speed-up)",
             "BM_DirectReadAll/real_time", "BM_CachedReadAll/real_time"},
            {"cold read of one key while the prefetch runs vs the same read through PsKvcmd",
             "BM_ColdReadDuringPrefetch/iterations:40/real_time", "BM_DirectRead/real_time"},
        },
        {
            {"requests per key of a full prefetch (floor 2)",
             "BM_FullPrefetch/iterations:1/real_time", "requests_per_key", "requests"},
            {"keys of the full prefetch", "BM_FullPrefetch/iterations:1/real_time", "keys", "keys"},
            {"requests to the chip while reading after the prefetch", "BM_CachedReadAll/real_time",
             "requests", "requests"},
        });
}
