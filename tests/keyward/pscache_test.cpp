// The PS cache over a simulated chip: prefetch, client reads, boot modes, writes, error and
// exception replay, pausing, and a client working while the worker prefetches.
#include "support.h"

#include <chrono>
#include <thread>

namespace {

using keyward_test::ChipTest;
using keyward_test::RecordingHandler;
using kvcmdsim::STORE_IMPLEMENTATION;
using Words = std::vector<uint16_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kKey = 0x0100;

class Cache : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        chip->SetFirmwareKeys({{0x0001, 0x0010}, {kKey, kKey + 2}, {1200, 1719}});
        chip->SetKey(STORE_IMPLEMENTATION, kKey, {0x1234});
        cache.SetServer(server.get());
        keys.SetServer(&cache);
    }
    // Waits until the worker has fetched every wanted key.
    void WaitPrefetched() {
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (cache.PendingEntries() != 0 && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(cache.PendingEntries(), 0u);
    }
    Words Read(uint16_t key, bool raw = false, uint16_t room = 8) {
        Words words(room);
        uint16_t length = 0;
        if (!cache.pskv_get(key, words.data(), room, &length, raw)) {
            return {0xFFFF};
        }
        words.resize(std::min(length, room));
        return words;
    }
    uint64_t Sizes(uint16_t key) { return chip->RequestCount(KVCMD_PSSIZE_PDU::VARID, key); }
    // Sets boot mode list `mode` on the chip.
    void List(uint16_t mode, Words keys) {
        chip->SetKey(STORE_IMPLEMENTATION, PsCache::BOOTMODE_LIST_KEY + mode, keys);
    }

    PsCache cache;
};

TEST_F(Cache, OpenWantsEveryKeyAndSlotAndPrefetchesThem) {
    EXPECT_FALSE(cache.pskv_known_key(kKey, false)) << "nothing before open";
    EXPECT_EQ(cache.NumBootmodes(), 0);
    ASSERT_TRUE(cache.open());
    EXPECT_TRUE(cache.is_open());
    EXPECT_TRUE(cache.keys_known());
    EXPECT_EQ(cache.NumBootmodes(), 8) << "absent lists are empty lists";
    EXPECT_TRUE(cache.key_exists(kKey));
    EXPECT_TRUE(cache.pskv_known_key(kKey, false));
    EXPECT_FALSE(cache.pskv_known_key(0x0200, false)) << "the chip does not hold it";
    EXPECT_TRUE(cache.pskv_known_key(1208, false));
    EXPECT_TRUE(cache.pskv_known_key(1719, false));
    EXPECT_FALSE(cache.pskv_known_key(1720, false));

    WaitPrefetched();
    chip->ResetCounters();
    uint16_t value = 0;
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, 0x1234);
    uint16_t size = 0;
    EXPECT_FALSE(cache.pskv_size(kKey + 1, &size, false)) << "known but holding no value";
    EXPECT_EQ(chip->TransactCount(), 0u) << "answered from the cache";

    // The cache forgets what it is told to and fetches it again.
    chip->SetKey(STORE_IMPLEMENTATION, kKey, {0x4321});
    EXPECT_EQ(Read(kKey), Words{0x1234});
    cache.ClearCache(kKey, 0);
    EXPECT_EQ(Read(kKey), Words{0x4321});
    chip->SetKey(STORE_IMPLEMENTATION, kKey, {0x5555});
    cache.ClearCache();
    EXPECT_EQ(Read(kKey), Words{0x5555});
}

TEST_F(Cache, ReadsSearchTheStoresInOrderAndHonourTheSelection) {
    chip->SetKey(kvcmdsim::STORE_ROM, kKey + 1, {0x00AA});
    chip->SetKey(kvcmdsim::STORE_TRANSIENT, kKey + 1, {0x00BB, 0x00CC});
    ASSERT_TRUE(cache.open());
    WaitPrefetched();
    EXPECT_EQ(Read(kKey + 1), (Words{0x00BB, 0x00CC})) << "transient before rom";
    uint16_t size = 0;
    ASSERT_TRUE(cache.pskv_size(kKey + 1, &size, false));
    EXPECT_EQ(size, 2);
    cache.SetStores(kvcmdsim::STORE_ROM);
    EXPECT_EQ(Read(kKey + 1), Words{0x00AA});
    cache.SetStores(kvcmdsim::STORE_ROM | kvcmdsim::STORE_IMPLEMENTATION);
    EXPECT_EQ(Read(kKey + 1), Words{0x00AA}) << "the first store of the selection holding it";
    EXPECT_EQ(Read(kKey, false, 1), Words{0x1234});
}

TEST_F(Cache, AReadWithoutOpenStartsTheWorkerForTheWaitOnly) {
    uint16_t value = 0;
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, 0x1234);
    EXPECT_TRUE(server->is_open()) << "the worker opened the chip";
    // No worker runs now: the chip sees nothing more.
    const uint64_t seen = chip->TransactCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(chip->TransactCount(), seen);
}

TEST_F(Cache, ABootModeReadGoesToTheKeysSlot) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0001, {0x1111});
    List(2, {0, 0, 0, 0, 0, 0x0001});
    chip->SetKey(STORE_IMPLEMENTATION, 1208 + 128 + 5, {0xBEEF});
    ASSERT_TRUE(cache.open());
    ASSERT_EQ(cache.NumBootmodes(), 8);
    cache.SetBootmode(2);
    ASSERT_EQ(cache.GetBootmode(), 2);
    EXPECT_EQ(Read(0x0001), Words{0xBEEF}) << "slot key 1341";
    EXPECT_EQ(Read(0x0001, true), Words{0x1111}) << "raw reads the key itself";
    EXPECT_TRUE(cache.key_exists(0x0001));
    EXPECT_FALSE(cache.key_exists(kKey));

    // A key outside the mode's list has nothing to read: no waiting, no request.
    chip->ResetCounters();
    uint16_t size = 0;
    EXPECT_FALSE(cache.pskv_size(kKey, &size, false));
    EXPECT_EQ(Read(kKey), Words{0xFFFF});
    EXPECT_EQ(Sizes(kKey), 0u);

    cache.SetBootmode(PsServer::NoBootmode());
    EXPECT_EQ(Read(0x0001), Words{0x1111});
    EXPECT_TRUE(cache.key_exists(kKey));
}

TEST_F(Cache, AListNamingABootModeKeyDisablesBootModesUntilReloaded) {
    List(3, {0x0005, 1300});
    ASSERT_TRUE(cache.open());
    EXPECT_EQ(cache.NumBootmodes(), 0);
    EXPECT_FALSE(cache.keys_known());
    cache.SetBootmode(3);
    EXPECT_EQ(cache.GetBootmode(), PsServer::NoBootmode());

    List(3, {0x0005});
    EXPECT_EQ(cache.NumBootmodes(), 0) << "until the lists are read again";
    cache.ClearCache(1203, 0);
    EXPECT_EQ(cache.NumBootmodes(), 8);
    EXPECT_TRUE(cache.keys_known());
    cache.SetBootmode(3);
    EXPECT_TRUE(cache.key_exists(0x0005));

    // A list longer than 63 keys is refused too.
    List(4, Words(64, 0x0002));
    cache.ClearCache(1204, 0);
    EXPECT_EQ(cache.NumBootmodes(), 0);
}

TEST_F(Cache, BootModeWritesUseTheFirstFreeSlot) {
    chip->SetKey(STORE_IMPLEMENTATION, 0x0007, {1});
    ASSERT_TRUE(cache.open());
    cache.SetBootmode(0);
    ASSERT_EQ(cache.GetBootmode(), 0);
    const uint16_t seven = 7;
    ASSERT_TRUE(cache.pskv_set(0x0005, &seven, 1, false));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1208), Words{7});
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1200), Words{0x0005}) << "a one-word list";
    EXPECT_FALSE(chip->GetKey(STORE_IMPLEMENTATION, 0x0005)) << "the key itself is untouched";
    EXPECT_EQ(Read(0x0005), Words{7});

    const uint16_t eight = 8;
    ASSERT_TRUE(cache.pskv_set(0x0006, &eight, 1, false));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1200), (Words{0x0005, 0x0006}));
    const uint16_t nine = 9;
    ASSERT_TRUE(cache.pskv_set(0x0005, &nine, 1, false)) << "its own slot again";
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1208), Words{9});
    EXPECT_EQ(Read(0x0005), Words{9});
    EXPECT_EQ(Read(1200, true), (Words{0x0005, 0x0006})) << "the list key reads fresh";

    // Clearing a key without an override makes a cleared override: the key is hidden.
    ASSERT_TRUE(cache.pskv_clr(0x0007, false));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1200), (Words{5, 6, 7}));
    EXPECT_EQ(Read(0x0007), Words{0xFFFF});
    EXPECT_EQ(Read(0x0007, true), Words{1});

    // Removing an override.
    ASSERT_TRUE(cache.pskv_clrb(0x0005));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1200), (Words{0, 6, 7}));
    EXPECT_FALSE(chip->GetKey(STORE_IMPLEMENTATION, 1208));
    EXPECT_FALSE(cache.key_exists(0x0005));
    EXPECT_TRUE(cache.pskv_clrb(0x0005)) << "no override: nothing to do";
    ASSERT_TRUE(cache.pskv_set(0x0008, &seven, 1, false));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1200), (Words{8, 6, 7})) << "position 0 again";

    EXPECT_FALSE(cache.pskv_set(1201, &seven, 1, false)) << "boot-mode keys have no slots";
    chip->SetWriteProtected(true);
    EXPECT_FALSE(cache.pskv_set(0x0009, &seven, 1, false)) << "the chip refused the slot";
    EXPECT_FALSE(cache.key_exists(0x0009));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1200), (Words{8, 6, 7}));
    chip->SetWriteProtected(false);
    EXPECT_FALSE(cache.pskv_clrb(1300));
    cache.SetBootmode(PsServer::NoBootmode());
    EXPECT_FALSE(cache.pskv_clrb(0x0006)) << "no boot mode selected";
    ASSERT_TRUE(cache.pskv_set(0x0005, &seven, 1, false));
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 0x0005), Words{7});
}

TEST_F(Cache, AFullListTakesNoMoreKeys) {
    Words full;
    for (uint16_t key = 0x0400; key < 0x0400 + 63; ++key) {
        full.push_back(key);
    }
    List(1, full);
    ASSERT_TRUE(cache.open());
    cache.SetBootmode(1);
    const uint16_t one = 1;
    EXPECT_FALSE(cache.pskv_set(0x0005, &one, 1, false));
    ASSERT_TRUE(cache.pskv_set(0x0400 + 62, &one, 1, false)) << "a listed key has its slot";
    EXPECT_EQ(chip->GetKey(STORE_IMPLEMENTATION, 1208 + 64 + 62), Words{1});
    EXPECT_EQ(cache.NumBootmodes(), 8);
}

TEST_F(Cache, WithoutTheCacheEverySizeFetchesAgain) {
    cache.UseCache(false);
    ASSERT_TRUE(cache.open());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Sizes(kKey + 2), 0u) << "no idle prefetch";
    EXPECT_GT(cache.PendingEntries(), 0u);
    uint16_t value = 0;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
        EXPECT_EQ(Sizes(kKey), static_cast<uint64_t>(i));
    }
    chip->SetKey(STORE_IMPLEMENTATION, kKey, {0x0042});
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, 0x0042);

    // With the cache on again the worker prefetches, and reads are answered from the cache.
    cache.UseCache(true);
    WaitPrefetched();
    chip->ResetCounters();
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(chip->TransactCount(), 0u);
}

// A server that reports errors of every type, or throws, for chosen keys.
class FaultyServer : public PsKvcmd {
  public:
    using PsKvcmd::PsKvcmd;
    bool pskv_size(uint16_t key, uint16_t* const length, bool raw) override {
        ++sizes;
        if (key == reporting) {
            get_error_handler()->reset();
            get_error_handler()->on_error(L"first", L"Faulty", 3, 2);
            get_error_handler()->on_error(L"note", L"Faulty", 0, -1);
            get_error_handler()->on_error(L"last", L"Faulty", 5, 1);
            return false;
        }
        if (key == throwing && thrown != nullptr) {
            kvcmd_trans_exception* e = thrown;
            thrown = nullptr;
            throw e;
        }
        return PsKvcmd::pskv_size(key, length, raw);
    }
    bool pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length, uint16_t* const length,
                  bool raw) override {
        if (key == throwingGet && thrown != nullptr) {
            kvcmd_trans_exception* e = thrown;
            thrown = nullptr;
            throw e;
        }
        return PsKvcmd::pskv_get(key, data, max_length, length, raw);
    }

    int sizes = 0;
    uint16_t reporting = 0;
    uint16_t throwing = 0;
    uint16_t throwingGet = 0;
    kvcmd_trans_exception* thrown = nullptr;
};

class Faults : public Cache {
  protected:
    void SetUp() override {
        Cache::SetUp();
        auto* transport = NewTransport();
        faulty = new FaultyServer(transport);
        cache.SetServer(faulty);
        cache.delete_child_on_destruct(true);
        cache.UseCache(false);  // only the client's reads reach the server
        ASSERT_TRUE(cache.open());
        handler.reports.clear();
    }
    FaultyServer* faulty = nullptr;
};

TEST_F(Faults, ErrorsAreReplayedWithReducedTypesAndTheFetchIsForgotten) {
    faulty->reporting = kKey;
    uint16_t size = 0;
    EXPECT_FALSE(cache.pskv_size(kKey, &size, false));
    ASSERT_EQ(handler.reports.size(), 3u);
    // Newest first: the record ends describing the first error of the fetch.
    EXPECT_EQ(handler.reports[0].text, L"last");
    EXPECT_EQ(handler.reports[0].code, 5);
    EXPECT_EQ(handler.reports[0].type, 0) << "type 1 becomes 0";
    EXPECT_EQ(handler.reports[1].type, -1) << "information stays information";
    EXPECT_EQ(handler.reports[2].text, L"first");
    EXPECT_EQ(handler.reports[2].type, 0) << "type 2 becomes 0";
    EXPECT_EQ(handler.get_last_error_code(), 3) << "the record ends with the oldest error";
    EXPECT_EQ(std::wstring(handler.get_last_error_text()), L"first");

    const int before = faulty->sizes;
    faulty->reporting = 0;
    EXPECT_TRUE(cache.pskv_size(kKey, &size, false)) << "fetched again";
    EXPECT_EQ(size, 1);
    EXPECT_EQ(faulty->sizes, before + 1);
}

TEST_F(Faults, ChipErrorsOfAFetchReachTheClient) {
    chip->FailRequests(KVCMD_PSSIZE_PDU::VARID, kKey, KVCMD_PDU::STATUS_ACCESS_DENIED, 3);
    uint16_t value = 0;
    EXPECT_FALSE(keys.pskv_get_uint16(kKey, value));
    ASSERT_FALSE(handler.reports.empty());
    EXPECT_EQ(handler.reports[0].text,
              L"The chip reports 'Access denied'.\nKey may not exist for this version of the "
              L"firmware.");
    EXPECT_EQ(handler.reports[0].caption, L"Communication error");
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, 0x1234);
}

TEST_F(Faults, AnExceptionReachesTheReaderAsTheSamePointer) {
    auto* thrown = new kvcmd_trans_exception(L"link down", 7);
    faulty->throwing = kKey;
    faulty->thrown = thrown;
    uint16_t size = 0;
    try {
        cache.pskv_size(kKey, &size, false);
        ADD_FAILURE() << "no exception";
    } catch (kvcmd_trans_exception* caught) {
        EXPECT_EQ(caught, thrown);
        EXPECT_EQ(caught->get_code(), 7);
        delete caught;
    }
    EXPECT_TRUE(cache.pskv_size(kKey, &size, false)) << "fetched again";

    // Thrown while the value was read: the size is known, the value read throws.
    faulty->throwingGet = kKey;
    faulty->thrown = thrown = new kvcmd_trans_exception(L"value lost");
    uint16_t value = 0;
    try {
        keys.pskv_get_uint16(kKey, value);
        ADD_FAILURE() << "no exception";
    } catch (kvcmd_trans_exception* caught) {
        EXPECT_EQ(caught, thrown);
        delete caught;
    }
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, 0x1234);

    // An exception of the transport itself, on a paused pass-through.
    chip->QueueException(L"gone");
    try {
        uint16_t next = 0;
        cache.pskv_next_all(0, &next);
        ADD_FAILURE() << "no exception";
    } catch (kvcmd_trans_exception* caught) {
        EXPECT_EQ(std::wstring(caught->get_text()), L"gone");
        delete caught;
    }
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value)) << "the worker runs again";
}

TEST_F(Cache, AReadGivesUpWhenTheChipCannotBeOpened) {
    chip->SetUnreachable(true);
    const auto start = Clock::now();
    uint16_t size = 0;
    EXPECT_FALSE(cache.pskv_size(kKey, &size, false));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    ASSERT_FALSE(handler.reports.empty());
    EXPECT_EQ(handler.reports.back().text, L"Failed to send or process command");

    chip->SetUnreachable(false);
    EXPECT_TRUE(cache.pskv_size(kKey, &size, false));
    EXPECT_EQ(size, 1);
}

TEST_F(Cache, TheWorkerReopensAfterAResetAndClose) {
    ASSERT_TRUE(cache.open());
    const uint64_t opens = chip->OpenCount();
    ASSERT_TRUE(cache.reset_kv_and_close(kvcmdsim::RESET_WARM));
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (chip->OpenCount() == opens && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GT(chip->OpenCount(), opens);
    EXPECT_EQ(Read(kKey), Words{0x1234});
    EXPECT_TRUE(cache.keys_known());
    EXPECT_EQ(cache.NumBootmodes(), 8);
}

TEST_F(Cache, AnAbsentListStaysAbsentWhenTheWorkerReopens) {
    // The chip reports list 1203 missing with a status the transport reports; the client's
    // handler goes on, so the list is empty rather than a failure.
    for (uint16_t status : {KVCMD_PDU::STATUS_NO_VALUE, KVCMD_PDU::STATUS_ACCESS_DENIED}) {
        SCOPED_TRACE(status);
        chip->ClearFaults();
        chip->FailRequests(KVCMD_PSSIZE_PDU::VARID, 1203, status, -1);
        List(2, {0x0001});
        ASSERT_TRUE(cache.open());
        ASSERT_EQ(cache.NumBootmodes(), 8);

        const uint64_t opens = chip->OpenCount();
        const uint64_t asked = Sizes(1203);
        ASSERT_TRUE(cache.reset_kv_and_close(kvcmdsim::RESET_WARM));
        // Once the worker has opened the chip again and asked for the list, the modes are back.
        const auto end = Clock::now() + std::chrono::seconds(20);
        while ((chip->OpenCount() == opens || Sizes(1203) == asked || cache.NumBootmodes() != 8) &&
               Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_GT(Sizes(1203), asked);
        EXPECT_EQ(cache.NumBootmodes(), 8);
        cache.SetBootmode(2);
        EXPECT_TRUE(cache.key_exists(0x0001));
        cache.SetBootmode(PsServer::NoBootmode());
        cache.close();
    }
}

TEST_F(Cache, PassThroughOperations) {
    ASSERT_TRUE(cache.open());
    chip->SetFirmwareId(4120, L"fw");
    int id = 0;
    uint16_t name[4] = {};
    ASSERT_TRUE(keys.GetFirmwareId(&id, name, 4));
    EXPECT_EQ(id, 4120);
    uint16_t next = 0;
    ASSERT_TRUE(cache.pskv_next_all(0, &next));
    EXPECT_EQ(next, kKey);
    cache.SetStores(kvcmdsim::STORE_ROM);
    ASSERT_TRUE(cache.pskv_next(0, &next, false));
    EXPECT_EQ(next, 0) << "the cache's stores went with it";
    cache.SetStores(0);
    uint16_t word = 0;
    ASSERT_TRUE(cache.read_mem(GenericPointer{4, 2 * 0xFF9A}, 1, &word));
    SlTable* table = nullptr;
    ASSERT_TRUE(cache.get_slt(table, false));
    EXPECT_TRUE(table->has_entry(31));
    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "ON");
    EXPECT_STREQ(cache.getvar("SPIDEBUG_REPRODUCIBLE"), "ON");
    EXPECT_TRUE(cache.supports_stores());
    EXPECT_FALSE(cache.is_layer_a_supported());
    EXPECT_TRUE(cache.inquire_known_keys());
    EXPECT_TRUE(cache.key_exists(kKey + 2));

    // Factory operations forget the cache.
    EXPECT_EQ(Read(kKey), Words{0x1234});
    ASSERT_TRUE(cache.pskv_factory_set());
    chip->SetKey(STORE_IMPLEMENTATION, kKey, {0x0777});
    ASSERT_TRUE(cache.pskv_factory_restore(false));
    EXPECT_EQ(Read(kKey), Words{0x1234}) << "restored from the factory store";
    ASSERT_TRUE(cache.reset_kv(kvcmdsim::RESET_WARM));

    PsCache bare;
    EXPECT_FALSE(bare.is_open());
    EXPECT_FALSE(bare.is_layer_a_supported());
    EXPECT_STREQ(bare.getvar("x"), "");
    EXPECT_FALSE(bare.open());
    uint16_t size = 0;
    EXPECT_FALSE(bare.pskv_size(kKey, &size, false));

    EXPECT_TRUE(cache.close());
    EXPECT_FALSE(server->is_open());
}

// Calls back on the worker with what was asked.
struct Callback {
    std::mutex lock;
    std::condition_variable called;
    std::vector<PsCache::CallbackResult> results;
    static void Done(void* data, const PsCache::CallbackResult& result) {
        auto* self = static_cast<Callback*>(data);
        std::lock_guard<std::mutex> guard(self->lock);
        self->results.push_back(result);
        self->called.notify_all();
    }
};

TEST_F(Cache, GetQueuesAFetchAndCallsBack) {
    cache.UseCache(false);
    ASSERT_TRUE(cache.open());
    cache.SetStores(kvcmdsim::STORE_IMPLEMENTATION);
    Callback callback;
    ASSERT_FALSE(cache.get(kKey, &Callback::Done, &callback, true));
    {
        std::unique_lock<std::mutex> guard(callback.lock);
        ASSERT_TRUE(callback.called.wait_for(guard, std::chrono::seconds(10),
                                             [&] { return !callback.results.empty(); }));
        EXPECT_EQ(callback.results[0].key, kKey);
        EXPECT_EQ(callback.results[0].stores, kvcmdsim::STORE_IMPLEMENTATION);
        EXPECT_EQ(callback.results[0].bootmode, PsServer::NoBootmode());
        EXPECT_TRUE(callback.results[0].raw);
    }
    EXPECT_TRUE(cache.get(kKey, &Callback::Done, &callback, true)) << "cached now";
    EXPECT_EQ(Read(kKey), Words{0x1234});
}

TEST_F(Cache, CopiesAreSafeToDestroy) {
    auto* owned = new PsKvcmd(NewTransport());
    auto original = std::make_unique<PsCache>();
    original->SetServer(owned);
    original->delete_child_on_destruct(true);
    ASSERT_TRUE(original->open());
    {
        PsCache copy(*original);
        EXPECT_EQ(copy.GetServer(), owned);
        EXPECT_EQ(copy.NumBootmodes(), 0) << "a new, closed cache";
        PsCache assigned;
        assigned = *original;
        EXPECT_EQ(assigned.get_error_handler(), original->get_error_handler());
    }
    uint16_t size = 0;
    EXPECT_TRUE(original->pskv_size(kKey, &size, false)) << "the original works on";
    original.reset();  // destroys the server once
}

// A client reading, writing and clearing while the worker prefetches: only one thread is ever
// inside the transport, and every read sees the last value written.
TEST_F(Cache, ClientWorksWhileTheWorkerPrefetches) {
    chip->SetRequestDelay(std::chrono::microseconds(20));
    List(1, {kKey});
    ASSERT_TRUE(cache.open());
    uint16_t written[3] = {0x1234, 0, 0};
    for (uint16_t round = 1; round <= 300; ++round) {
        const uint16_t key = kKey + round % 3;
        uint16_t value = 0;
        switch (round % 5) {
            case 0:
                cache.ClearCache(key, 0);
                break;
            case 1:
                ASSERT_TRUE(keys.pskv_set_uint16(key, round));
                written[round % 3] = round;
                break;
            case 2:
                cache.SetBootmode(1);
                ASSERT_TRUE(keys.pskv_set_uint16(kKey, round));
                cache.SetBootmode(PsServer::NoBootmode());
                break;
            default:
                if (written[round % 3] != 0) {
                    ASSERT_TRUE(keys.pskv_get_uint16(key, value));
                    EXPECT_EQ(value, written[round % 3]) << round;
                }
                break;
        }
    }
    cache.SetBootmode(1);
    uint16_t value = 0;
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, 297);
    cache.SetBootmode(PsServer::NoBootmode());
    ASSERT_TRUE(keys.pskv_get_uint16(kKey, value));
    EXPECT_EQ(value, written[0]);
    EXPECT_GT(chip->TransactCount(), 100u);
    EXPECT_EQ(chip->OverlappingTransacts(), 0u) << "two threads were inside the transport";
}

}  // namespace
