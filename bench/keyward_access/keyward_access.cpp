// What keyward adds to one typed read, and what a database lookup costs.
//
// A typed 16-bit read through CKeyWarder and PsKvcmd sends two requests to the simulated chip (the
// key's size, then its value). Its baseline is the same two requests handed straight to the
// simulated transport's transact, PDUs built beforehand: the ratio is the library's own work per
// read (lookup, PDUs, retry and status logic, tracing gates) on top of the chip. A plain
// PsKvcmd::pskv_get is compared with one bare transact of its request the same way.
//
// GetKeyDetails of every one of the 1727 database keys is compared with one pass over the records
// (the floor of any lookup that touches each record once); lookups scan the records in database
// order, so the ratio shows the average depth of a scan.
#include <bench/common/ratio.h>
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <memory>

namespace {

constexpr uint16_t kKey = 0x01F9;  // PSKEY_HOST_INTERFACE, one word

std::shared_ptr<kvcmdsim::SimChip> ChipWithKey() {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, kKey, {3});
    return chip;
}

void BM_KeyWarderGetUint16(benchmark::State& state) {
    PsKvcmd server(new kvcmdsim::SimTransport(ChipWithKey()));
    if (!server.open()) {
        state.SkipWithError("the simulated chip did not open");
        return;
    }
    CKeyWarder keys(&server);
    uint16_t value = 0;
    for (auto _ : state) {
        keys.pskv_get_uint16(kKey, value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_KeyWarderGetUint16);

void BM_BareTransactSizeAndGet(benchmark::State& state) {
    kvcmdsim::SimTransport transport(ChipWithKey());
    transport.open(0);
    const KVCMD_PSSIZE_PDU size(kKey, 0);
    const KVCMD_PS_PDU get(KVCMD_PDU::TYPE_GET_REQ, kKey, 1, 0);
    for (auto _ : state) {
        PDU sized;
        PDU got;
        transport.transact(size, sized);
        transport.transact(get, got);
        benchmark::DoNotOptimize(got.get_uint16(KVCMD_PDU::OFFSET_DATA));
    }
}
BENCHMARK(BM_BareTransactSizeAndGet);

void BM_PsKvcmdGet(benchmark::State& state) {
    PsKvcmd server(new kvcmdsim::SimTransport(ChipWithKey()));
    if (!server.open()) {
        state.SkipWithError("the simulated chip did not open");
        return;
    }
    uint16_t value = 0;
    uint16_t length = 0;
    for (auto _ : state) {
        server.pskv_get(kKey, &value, 1, &length, false);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_PsKvcmdGet);

void BM_BareTransactGet(benchmark::State& state) {
    kvcmdsim::SimTransport transport(ChipWithKey());
    transport.open(0);
    const KVCMD_PS_PDU get(KVCMD_PDU::TYPE_GET_REQ, kKey, 1, 0);
    for (auto _ : state) {
        PDU got;
        transport.transact(get, got);
        benchmark::DoNotOptimize(got.get_uint16(KVCMD_PDU::OFFSET_DATA));
    }
}
BENCHMARK(BM_BareTransactGet);

void BM_GetKeyDetailsAllKeys(benchmark::State& state) {
    const size_t count = CKeyWarder::GetKeyCount();
    for (auto _ : state) {
        for (size_t i = 0; i < count; ++i) {
            benchmark::DoNotOptimize(
                CKeyWarder::GetKeyDetails(CKeyWarder::GetKeyDetailsAt(i)->key_number));
        }
    }
}
BENCHMARK(BM_GetKeyDetailsAllKeys)->Unit(benchmark::kMicrosecond);

void BM_OnePassOverTheRecords(benchmark::State& state) {
    const size_t count = CKeyWarder::GetKeyCount();
    for (auto _ : state) {
        for (size_t i = 0; i < count; ++i) {
            benchmark::DoNotOptimize(CKeyWarder::GetKeyDetailsAt(i)->key_number);
        }
    }
}
BENCHMARK(BM_OnePassOverTheRecords)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {
            {"pskv_get_uint16 via CKeyWarder+PsKvcmd vs bare transact of its 2 requests",
             "BM_KeyWarderGetUint16", "BM_BareTransactSizeAndGet"},
            {"PsKvcmd::pskv_get vs bare transact of its request", "BM_PsKvcmdGet",
             "BM_BareTransactGet"},
            {"GetKeyDetails of all 1727 keys vs one pass over the records",
             "BM_GetKeyDetailsAllKeys", "BM_OnePassOverTheRecords"},
        });
}
