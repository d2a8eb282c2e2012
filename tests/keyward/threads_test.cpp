// PDU handles shared between threads, and the simulated chip's guard against two threads inside
// the transport at once.
#include "support.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(PduThreads, HandlesAreCopiedAndDroppedOnManyThreads) {
    KVCMD_PS_PDU shared(KVCMD_PDU::TYPE_GET_REQ, 0x01F9, 4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 5000; ++i) {
                PDU copy(shared);
                PDU other;
                other = copy;
                EXPECT_EQ(other.get_uint16(KVCMD_PDU::OFFSET_VARID), 0x7003);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(shared.use_count(), 1);
}

TEST(ChipThreads, OverlappingTransactsAreCounted) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, 0x01F9, {3});
    chip->SetRequestDelay(std::chrono::milliseconds(20));
    kvcmdsim::SimTransport first(chip);
    kvcmdsim::SimTransport second(chip);
    ASSERT_TRUE(first.open(0));
    ASSERT_TRUE(second.open(0));

    // One after the other: no overlap.
    PDU response;
    first.transact(KVCMD_PSSIZE_PDU(0x01F9, 0), response);
    second.transact(KVCMD_PSSIZE_PDU(0x01F9, 0), response);
    EXPECT_EQ(chip->OverlappingTransacts(), 0u);

    std::atomic<int> ready{0};
    const auto run = [&](kvcmdsim::SimTransport& transport) {
        ++ready;
        while (ready < 2) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 3; ++i) {
            PDU reply;
            EXPECT_EQ(transport.transact(KVCMD_PSSIZE_PDU(0x01F9, 0), reply), 0);
        }
    };
    std::thread a(run, std::ref(first));
    std::thread b(run, std::ref(second));
    a.join();
    b.join();
    EXPECT_GT(chip->OverlappingTransacts(), 0u);
    EXPECT_EQ(chip->TransactCount(), 8u);
}

TEST(ChipThreads, ChipIsSafeToInspectWhileAServerWorks) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CKeyWarder keys(&server);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (uint16_t i = 0; i < 200; ++i) {
            keys.pskv_set_uint16(0x01F9, i);
        }
        done = true;
    });
    uint64_t seen = 0;
    while (!done) {
        seen = std::max(seen, chip->TransactCount());
        chip->ReadKey(0x01F9);
        chip->RequestLog();
    }
    worker.join();
    EXPECT_EQ(chip->ReadKey(0x01F9), (std::vector<uint16_t>{199}));
    EXPECT_LE(seen, chip->TransactCount());
}

}  // namespace
