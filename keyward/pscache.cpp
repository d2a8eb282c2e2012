#include "trace.h"

#include <common/threadable.h>
#include <keyward/pscache.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint16_t kAllStores = 0x001F;
// The order in which the stores are searched.
constexpr uint16_t kStoreOrder[] = {0x0008, 0x0001, 0x0002, 0x0010, 0x0004};
constexpr auto kReopenWait = std::chrono::milliseconds(1000);
// A client read gives up after this many failed attempts of the worker to open the server.
constexpr uint64_t kOpenAttemptsPerRead = 2;

uint16_t Selection(uint16_t stores) {
    return stores != 0 ? stores : kAllStores;
}

bool IsBootmodeKey(uint16_t key) {
    return key >= PsCache::BOOTMODE_LIST_KEY && key < PsCache::BOOTMODE_KEYS_END;
}

bool IsListKey(uint16_t key) {
    return key >= PsCache::BOOTMODE_LIST_KEY &&
           key < PsCache::BOOTMODE_LIST_KEY + PsCache::BOOTMODE_COUNT;
}

uint16_t SlotKey(uint16_t mode, uint16_t position) {
    return static_cast<uint16_t>(PsCache::BOOTMODE_SLOT_KEY + PsCache::BOOTMODE_SLOTS * mode +
                                 position);
}

// One error reported while a key was fetched.
struct RecordedError {
    std::wstring text;
    std::wstring caption;
    int code;
    int type;
};
using ErrorList = std::vector<RecordedError>;

bool AnyFailure(const ErrorList& errors) {
    return std::any_of(errors.begin(), errors.end(),
                       [](const RecordedError& e) { return e.code != 0; });
}

// The outcome of one fetch of one key in one store selection.
struct Entry {
    ErrorList sizeErrors;
    kvcmd_trans_exception* sizeException = nullptr;
    bool sizeKnown = false;  // pskv_size succeeded
    uint16_t size = 0;
    ErrorList getErrors;
    kvcmd_trans_exception* getException = nullptr;
    uint16_t length = 0;
    std::vector<uint16_t> value;
    bool valid = false;  // both pskv_size and pskv_get succeeded

    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() {
        delete sizeException;
        delete getException;
    }
    bool Settled() const {
        return AnyFailure(sizeErrors) || AnyFailure(getErrors) || sizeException != nullptr ||
               getException != nullptr || valid;
    }
};

using EntryKey = std::pair<uint16_t, uint16_t>;               // key number, store selection
using EntryMap = std::map<EntryKey, std::unique_ptr<Entry>>;  // null: wanted, not fetched

// What a client read takes out of the cache, to act on outside the lock.
struct Taken {
    ErrorList errors;
    kvcmd_trans_exception* exception = nullptr;
    bool failed = false;  // an error with a code was reported
    bool result = false;
};

// Collects the errors the wrapped server reports on the worker into the entry being fetched.
class ThreadErrorHandler : public kvcmd_trans_error_handler {
  public:
    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int code,
                                      int type) override {
        if (list != nullptr) {
            list->push_back(
                {text != nullptr ? text : L"", caption != nullptr ? caption : L"", code, type});
        }
        return type != -1 ? KVCMD_RESPONSE_ABORT : KVCMD_RESPONSE_NONE;
    }

    ErrorList* list = nullptr;
};

}  // namespace

// ---------------------------------------------------------------- the cache state

struct PsCache::Impl {
    class Thread;

    struct Request {
        bool raw;
        uint16_t key;
        uint16_t bootmode;
        uint16_t stores;
        Completion done;
        void* data;
    };

    explicit Impl(PsCache& cache) : owner(cache) {}

    PsCache& owner;
    bool inUse = false;                                  // client thread only
    kvcmd_trans_error_handler* clientHandler = nullptr;  // client thread only
    Thread* thread = nullptr;                            // client thread only
    int pauseDepth = 0;                                  // client thread only

    // Guarded by `lock`.
    std::mutex lock;
    std::condition_variable wakeChanged;
    std::condition_variable served;
    bool wake = false;
    bool useCache = true;
    EntryMap entries;
    size_t placeholders = 0;
    EntryKey cursor{0, 0};
    std::deque<Request> queue;
    bool bootmodesReady = false;
    std::array<std::map<uint16_t, uint16_t>, BOOTMODE_COUNT> bootmodes;  // key -> position
    uint64_t failedOpens = 0;

    // ---- under the lock

    // Key k read in boot mode m: its slot, k itself without a boot mode, 0 for nothing to read.
    uint16_t MapKey(uint16_t key, uint16_t mode) const {
        if (mode == NoBootmode()) {
            return key;
        }
        if (!bootmodesReady || mode >= BOOTMODE_COUNT) {
            return 0;
        }
        const auto it = bootmodes[mode].find(key);
        return it != bootmodes[mode].end() ? SlotKey(mode, it->second) : 0;
    }

    void MakePlaceholder(EntryMap::iterator it) {
        if (it->second != nullptr) {
            it->second.reset();
            ++placeholders;
        }
    }

    void File(EntryKey where, std::unique_ptr<Entry> entry) {
        auto [it, inserted] = entries.try_emplace(where);
        if (!inserted && it->second == nullptr) {
            --placeholders;
        }
        it->second = std::move(entry);
    }

    // Every entry of `key` whose store selection meets `stores` (0: all) becomes a placeholder.
    void Invalidate(uint16_t key, uint16_t stores) {
        const uint16_t selection = Selection(stores);
        for (auto it = entries.lower_bound({key, 0}); it != entries.end() && it->first.first == key;
             ++it) {
            if ((it->first.second & selection) != 0) {
                MakePlaceholder(it);
            }
        }
    }

    void InvalidateAll() {
        for (auto& [where, entry] : entries) {
            entry.reset();
        }
        placeholders = entries.size();
        cursor = entries.empty() ? EntryKey{0, 0} : entries.begin()->first;
    }

    // The next placeholder from the cursor on, wrapping round once; moves the cursor past it.
    std::optional<EntryKey> NextPlaceholder() {
        if (placeholders == 0) {
            cursor = {0, 0};
            return std::nullopt;
        }
        const auto wanted = [](const EntryMap::value_type& e) { return e.second == nullptr; };
        const auto start = entries.lower_bound(cursor);
        auto found = std::find_if(start, entries.end(), wanted);
        if (found == entries.end()) {
            found = std::find_if(entries.begin(), start, wanted);
            if (found == start) {
                cursor = {0, 0};
                return std::nullopt;
            }
        }
        const auto next = std::next(found);
        cursor = next != entries.end() ? next->first : EntryKey{0, 0};
        return found->first;
    }

    void Wake() {
        std::lock_guard<std::mutex> guard(lock);
        wake = true;
        wakeChanged.notify_all();
    }

    // ---- talking to the wrapped server: with the worker paused, or on the worker

    // Opens the wrapped server, copies its keys, wants every key and slot again and reads the
    // boot-mode lists.
    bool OpenServer() {
        PsServer* server = owner.mServer;
        if (server == nullptr || !server->open()) {
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            // The set is replaced only when it changed: the client may walk it meanwhile.
            if (!owner.same_known_keys(*server)) {
                owner.copy_known_keys(server);
            }
            entries.clear();
            const auto want = [this](uint16_t key) {
                for (uint16_t store : kStoreOrder) {
                    entries.emplace(EntryKey{key, store}, nullptr);
                }
            };
            for (uint16_t key : *owner.mKnownKeys) {
                want(key);
            }
            for (uint32_t key = BOOTMODE_SLOT_KEY; key < BOOTMODE_KEYS_END; ++key) {
                want(static_cast<uint16_t>(key));
            }
            placeholders = entries.size();
            cursor = entries.begin()->first;
        }
        ReadBootmodeLists();
        return true;
    }

    void ReadBootmodeLists() {
        PsServer& server = *owner.mServer;
        {
            std::lock_guard<std::mutex> guard(lock);
            bootmodesReady = false;
        }
        // The lists are read from every store; the wrapped server's selection is put back.
        struct StoresKept {
            PsServer& server;
            uint16_t stores;
            ~StoresKept() { server.SetStores(stores); }
        } kept{server, server.GetStores()};
        server.SetStores(0);

        std::array<std::map<uint16_t, uint16_t>, BOOTMODE_COUNT> lists;
        bool failure = false;
        for (uint16_t mode = 0; mode < BOOTMODE_COUNT && !failure; ++mode) {
            if (owner.is_cancelled()) {
                failure = true;
                break;
            }
            const uint16_t listKey = BOOTMODE_LIST_KEY + mode;
            uint16_t size = 0;
            if (!server.pskv_size(listKey, &size, true)) {
                // An absent list is empty; a failure the handler chose to stop on is a failure.
                kvcmd_trans_error_handler* handler = server.get_error_handler();
                failure =
                    handler != nullptr && handler->get_worst_response() == KVCMD_RESPONSE_ABORT;
                continue;
            }
            std::vector<uint16_t> words(size);
            uint16_t length = 0;
            if (!server.pskv_get(listKey, words.data(), size, &length, true) || length > size ||
                length > BOOTMODE_LIST_LIMIT) {
                failure = true;
                break;
            }
            for (uint16_t position = 0; position < length && !failure; ++position) {
                const uint16_t key = words[position];
                if (key == 0) {
                    continue;
                }
                failure = IsBootmodeKey(key) || owner.is_cancelled();
                lists[mode][key] = position;
            }
        }
        std::lock_guard<std::mutex> guard(lock);
        bootmodes = std::move(lists);
        bootmodesReady = !failure;
    }

    // Reloads the lists, opening the cache first when it is closed.
    void LoadBootmodeLists() {
        {
            std::lock_guard<std::mutex> guard(lock);
            bootmodesReady = false;
        }
        if (owner.mServer == nullptr) {
            return;
        }
        if (!owner.mServer->is_open()) {
            owner.open();  // reads the lists
            return;
        }
        ReadBootmodeLists();
    }

    // Whether a write the wrapped server answered was taken by the chip: a refusal is reported
    // to the handler, unless the handler chose to count it as success.
    bool Accepted(bool answered) {
        kvcmd_trans_error_handler* handler = owner.mServer->get_error_handler();
        return answered && (handler == nullptr || handler->get_last_error_code() == 0 ||
                            handler->get_last_response() == KVCMD_RESPONSE_ACCEPT);
    }

    // A client read: forgets the client's error record, fetches the key when needed and takes
    // the answer with `take` from the entry of the whole store selection, or else from the store
    // entries in search order until one answers. Reports what the fetch reported and throws what
    // it threw; a failed fetch is forgotten.
    using Taker = std::function<bool(Entry& entry, Taken& taken)>;
    bool Read(uint16_t key, bool raw, const Taker& take);

    // Position `position` of boot mode `mode` becomes `key` (0 removes it): writes the list
    // key, then the map.
    bool UpdateList(uint16_t mode, uint16_t position, uint16_t key) {
        std::array<uint16_t, BOOTMODE_SLOTS> words{};
        uint16_t length = position + 1;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (const auto& [mapped, at] : bootmodes[mode]) {
                words[at] = mapped;
                length = std::max<uint16_t>(length, at + 1);
            }
        }
        words[position] = key;
        PsServer& server = *owner.mServer;
        server.SetStores(0);
        if (!Accepted(server.pskv_set(BOOTMODE_LIST_KEY + mode, words.data(), length, true))) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock);
        auto& list = bootmodes[mode];
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->second == position) {
                list.erase(it);
                break;
            }
        }
        if (key != 0) {
            list[key] = position;
        }
        Invalidate(BOOTMODE_LIST_KEY + mode, 0);
        return true;
    }
};

// ---------------------------------------------------------------- the worker

class PsCache::Impl::Thread : public Threadable {
  public:
    explicit Thread(Impl& impl) : mImpl(impl) {}
    ~Thread() override { StopAndJoin(0); }

    // Also wakes a worker that waits for work.
    void Stop() override {
        Threadable::Stop();
        mImpl.Wake();
    }

  protected:
    uint32_t ThreadFunc() override;

  private:
    bool Opened();
    void Fetch(uint16_t key, uint16_t stores, Entry& entry);

    Impl& mImpl;
    ThreadErrorHandler mHandler;
};

bool PsCache::Impl::Thread::Opened() {
    try {
        return mImpl.owner.mServer->is_open() || mImpl.OpenServer();
    } catch (kvcmd_trans_exception* e) {
        delete e;  // nobody reads this; the next attempt tells
        return false;
    }
}

void PsCache::Impl::Thread::Fetch(uint16_t key, uint16_t stores, Entry& entry) {
    PsServer& server = *mImpl.owner.mServer;
    server.SetStores(stores);
    mHandler.list = &entry.sizeErrors;
    try {
        uint16_t size = 0;
        if (server.pskv_size(key, &size, true)) {
            entry.sizeKnown = true;
            entry.size = size;
            entry.value.assign(size, 0);
            mHandler.list = &entry.getErrors;
            try {
                uint16_t length = 0;
                if (server.pskv_get(key, entry.value.data(), size, &length, true)) {
                    entry.length = length;
                    entry.valid = true;
                }
            } catch (kvcmd_trans_exception* e) {
                entry.getException = e;
            }
        }
    } catch (kvcmd_trans_exception* e) {
        entry.sizeException = e;
    }
    mHandler.list = nullptr;
}

uint32_t PsCache::Impl::Thread::ThreadFunc() {
    mImpl.owner.mServer->set_error_handler(&mHandler);
    const auto stopOrWake = [this] { return mImpl.wake || !KeepRunning(); };
    while (KeepRunning()) {
        {
            std::lock_guard<std::mutex> guard(mImpl.lock);
            mImpl.wake = false;
        }
        if (!Opened()) {
            std::unique_lock<std::mutex> guard(mImpl.lock);
            ++mImpl.failedOpens;
            mImpl.served.notify_all();
            mImpl.wakeChanged.wait_for(guard, kReopenWait, stopOrWake);
            continue;
        }

        // Client requests first, then the next key wanted.
        std::optional<Request> request;
        uint16_t key = 0;
        std::vector<Request> nothingToFetch;
        {
            std::unique_lock<std::mutex> guard(mImpl.lock);
            while (!mImpl.queue.empty() && !request) {
                const Request next = mImpl.queue.front();
                mImpl.queue.pop_front();
                key = next.raw ? next.key : mImpl.MapKey(next.key, next.bootmode);
                if (key != 0) {
                    request = next;
                } else {
                    nothingToFetch.push_back(next);
                }
            }
            if (!request && mImpl.useCache) {
                if (const std::optional<EntryKey> wanted = mImpl.NextPlaceholder()) {
                    key = wanted->first;
                    request = Request{true, key, NoBootmode(), wanted->second, nullptr, nullptr};
                }
            }
        }
        // A request whose key has no slot any more is answered at once (its reader finds
        // nothing to read).
        for (const Request& dropped : nothingToFetch) {
            if (dropped.done != nullptr) {
                dropped.done(dropped.data,
                             {dropped.key, dropped.stores, dropped.bootmode, dropped.raw});
            }
        }
        if (!request) {
            std::unique_lock<std::mutex> guard(mImpl.lock);
            mImpl.wakeChanged.wait(guard, stopOrWake);
            continue;
        }

        auto entry = std::make_unique<Entry>();
        Fetch(key, request->stores, *entry);
        {
            std::lock_guard<std::mutex> guard(mImpl.lock);
            mImpl.File({key, Selection(request->stores)}, std::move(entry));
        }
        if (request->done != nullptr) {
            request->done(request->data,
                          {request->key, request->stores, request->bootmode, request->raw});
        }
    }
    return EXIT_NONE;
}

// ---------------------------------------------------------------- pausing

// Stops the worker for the lifetime of the object (nesting), starting it again at the end.
class PsCache::Paused {
  public:
    explicit Paused(PsCache& cache) : mCache(cache) { mCache.PauseThread(); }
    ~Paused() { mCache.ResumeThread(); }
    Paused(const Paused&) = delete;
    Paused& operator=(const Paused&) = delete;

  private:
    PsCache& mCache;
};

void PsCache::stop_worker() {
    if (mImpl->thread == nullptr) {
        return;
    }
    mImpl->thread->StopAndJoin(0);
    mServer->set_error_handler(mImpl->clientHandler);
    delete mImpl->thread;
    mImpl->thread = nullptr;
}

void PsCache::start_worker_if_idle() {
    if (mImpl->pauseDepth != 0 || !mImpl->inUse || mImpl->thread != nullptr || mServer == nullptr) {
        return;
    }
    mImpl->thread = new Impl::Thread(*mImpl);
    if (!mImpl->thread->Start()) {
        delete mImpl->thread;
        mImpl->thread = nullptr;
        mServer->set_error_handler(mImpl->clientHandler);
    }
}

void PsCache::PauseThread() {
    ++mImpl->pauseDepth;
    stop_worker();
    // Whatever the client does with the server now is reported to the client.
    if (mServer != nullptr) {
        mServer->set_error_handler(mImpl->clientHandler);
    }
}

void PsCache::ResumeThread() {
    if (mImpl->pauseDepth > 0) {
        --mImpl->pauseDepth;
    }
    start_worker_if_idle();
}

void PsCache::UseServer() {
    mImpl->inUse = true;
    start_worker_if_idle();
}

void PsCache::ReleaseServer() {
    stop_worker();
    mImpl->inUse = false;
}

// ---------------------------------------------------------------- life

PsCache::PsCache() : mDeleteChild(false), mServer(nullptr), mImpl(new Impl(*this)) {}

PsCache::PsCache(const PsCache& other)
    : PsServer(other), mDeleteChild(false), mServer(other.mServer), mImpl(new Impl(*this)) {
    mImpl->clientHandler = other.mImpl->clientHandler;
    mImpl->useCache = other.mImpl->useCache;
}

PsCache& PsCache::operator=(const PsCache& other) {
    if (this == &other) {
        return *this;
    }
    ReleaseServer();
    if (mDeleteChild && mServer != other.mServer) {
        delete mServer;
    }
    PsServer::operator=(other);
    mDeleteChild = false;
    mServer = other.mServer;
    Impl* fresh = new Impl(*this);
    fresh->clientHandler = other.mImpl->clientHandler;
    fresh->useCache = other.mImpl->useCache;
    delete mImpl;
    mImpl = fresh;
    return *this;
}

PsCache::~PsCache() {
    stop_worker();
    delete mImpl;
    if (mDeleteChild) {
        delete mServer;
    }
}

void PsCache::SetServer(PsServer* server) {
    Paused paused(*this);
    mServer = server;
    mImpl->clientHandler = server != nullptr ? server->get_error_handler() : nullptr;
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->entries.clear();
    mImpl->placeholders = 0;
    mImpl->cursor = {0, 0};
    mImpl->bootmodesReady = false;
}

bool PsCache::same_known_keys(PsServer& other) const {
    if (mKnownKeys == nullptr || !mKeysKnown) {
        return false;
    }
    auto it = mKnownKeys->begin();
    for (uint16_t key = other.key_next(0); key != 0; key = other.key_next(key), ++it) {
        if (it == mKnownKeys->end() || *it != key) {
            return false;
        }
    }
    return it == mKnownKeys->end();
}

void PsCache::UseCache(bool use) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->useCache = use;
    mImpl->wake = true;
    mImpl->wakeChanged.notify_all();
}

size_t PsCache::PendingEntries() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->placeholders;
}

void PsCache::ClearCache(uint16_t key, uint16_t stores) {
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        mImpl->Invalidate(key, stores);
    }
    if (IsListKey(key)) {
        Paused paused(*this);
        mImpl->LoadBootmodeLists();
    }
}

void PsCache::ClearCache() {
    Paused paused(*this);
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        mImpl->InvalidateAll();
    }
    mImpl->LoadBootmodeLists();
}

bool PsCache::open() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    result = mImpl->OpenServer();
    if (result) {
        UseServer();
    }
    return result;
}

bool PsCache::close() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    ReleaseServer();
    result = mServer != nullptr && mServer->close();
    return result;
}

// ---------------------------------------------------------------- reads

bool PsCache::get(uint16_t key, Completion done, void* data, bool raw) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    const uint16_t stores = Selection(mStores);
    const uint16_t k = raw ? key : mImpl->MapKey(key, mBootmode);
    if (k == 0) {
        return true;
    }
    const auto exact = mImpl->entries.find({k, stores});
    if (exact != mImpl->entries.end() && exact->second != nullptr) {
        return true;
    }
    for (uint16_t store : kStoreOrder) {
        if ((store & stores) == 0) {
            continue;
        }
        const auto it = mImpl->entries.find({k, store});
        if (it == mImpl->entries.end() || it->second == nullptr) {
            mImpl->queue.push_back({raw, key, mBootmode, mStores, done, data});
            mImpl->wake = true;
            mImpl->wakeChanged.notify_all();
            return false;
        }
        if (it->second->Settled()) {
            return true;
        }
    }
    return true;
}

namespace {

// A client waiting for its fetch.
struct Waiter {
    std::mutex* lock;
    std::condition_variable* served;
    bool done = false;
};

void WaiterDone(void* data, const PsCache::CallbackResult& /*result*/) {
    auto* waiter = static_cast<Waiter*>(data);
    std::lock_guard<std::mutex> guard(*waiter->lock);
    waiter->done = true;
    waiter->served->notify_all();
}

}  // namespace

bool PsCache::fetch(uint16_t key, bool raw) {
    Waiter waiter{&mImpl->lock, &mImpl->served};
    uint64_t failedBefore;
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        failedBefore = mImpl->failedOpens;
    }
    if (get(key, &WaiterDone, &waiter, raw)) {
        return true;
    }
    const bool wasInUse = mImpl->inUse;
    if (!wasInUse) {
        UseServer();
    }
    bool served = false;
    {
        std::unique_lock<std::mutex> guard(mImpl->lock);
        if (mImpl->thread != nullptr) {
            mImpl->served.wait(guard, [&] {
                return waiter.done || mImpl->failedOpens - failedBefore >= kOpenAttemptsPerRead;
            });
        }
        served = waiter.done;
        if (!served) {
            auto& queue = mImpl->queue;
            const auto mine = std::find_if(queue.begin(), queue.end(), [&](const Impl::Request& r) {
                return r.data == &waiter;
            });
            if (mine != queue.end()) {
                queue.erase(mine);
            } else {
                // The worker has it in hand: it finishes soon.
                mImpl->served.wait(guard, [&] { return waiter.done; });
                served = true;
            }
        }
    }
    if (!wasInUse) {
        ReleaseServer();
    }
    if (!served && mImpl->clientHandler != nullptr) {
        mImpl->clientHandler->on_error(L"Failed to send or process command", L"Communication error",
                                       2, 0);
    }
    return served;
}

namespace {

// Reports the errors of a fetch to the client, as information or as errors: the moment for a
// retry has passed.
void Replay(kvcmd_trans_error_handler* handler, const ErrorList& errors) {
    if (handler == nullptr) {
        return;
    }
    for (const RecordedError& error : errors) {
        handler->on_error(error.text.c_str(), error.caption.c_str(), error.code,
                          error.type == -1 ? -1 : 0);
    }
}

// The size phase of an entry; whether it answers the read.
bool TakeSize(Entry& entry, Taken& taken, uint16_t* length) {
    std::move(entry.sizeErrors.begin(), entry.sizeErrors.end(), std::back_inserter(taken.errors));
    taken.failed = AnyFailure(entry.sizeErrors);
    entry.sizeErrors.clear();
    std::swap(taken.exception, entry.sizeException);
    taken.result = !taken.failed && taken.exception == nullptr && entry.sizeKnown;
    if (taken.result && length != nullptr) {
        *length = entry.size;
    }
    return taken.failed || taken.exception != nullptr || entry.sizeKnown;
}

// The value phase of an entry (the size phase when the fetch ended there); whether it answers.
bool TakeValue(Entry& entry, Taken& taken, uint16_t* data, uint16_t max_length, uint16_t* length) {
    ErrorList& errors = entry.sizeKnown ? entry.getErrors : entry.sizeErrors;
    std::move(errors.begin(), errors.end(), std::back_inserter(taken.errors));
    taken.failed = AnyFailure(errors);
    errors.clear();
    std::swap(taken.exception, entry.sizeKnown ? entry.getException : entry.sizeException);
    taken.result = !taken.failed && taken.exception == nullptr && entry.valid;
    if (taken.result) {
        if (data != nullptr) {
            const size_t count = std::min<size_t>({entry.length, max_length, entry.value.size()});
            std::copy_n(entry.value.begin(), count, data);
        }
        if (length != nullptr) {
            *length = entry.length;
        }
    }
    return taken.failed || taken.exception != nullptr || entry.valid;
}

}  // namespace

bool PsCache::Impl::Read(uint16_t key, bool raw, const Taker& take) {
    if (clientHandler != nullptr) {
        clientHandler->reset();
    }
    if (!owner.fetch(key, raw)) {
        return false;
    }
    Taken taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        const uint16_t stores = Selection(owner.mStores);
        const uint16_t k = raw ? key : MapKey(key, owner.mBootmode);
        // Takes from one entry; whether it answered.
        const auto from = [&](EntryMap::iterator it) {
            const bool answered = take(*it->second, taken);
            if (taken.failed || taken.exception != nullptr) {
                MakePlaceholder(it);
            }
            return answered;
        };
        const auto exact = entries.find({k, stores});
        if (k == 0) {
            // Nothing to read in this boot mode.
        } else if (exact != entries.end() && exact->second != nullptr) {
            from(exact);
        } else {
            for (uint16_t store : kStoreOrder) {
                const auto it = entries.find({k, store});
                if ((store & stores) != 0 && it != entries.end() && it->second != nullptr &&
                    from(it)) {
                    break;
                }
            }
        }
    }
    Replay(clientHandler, taken.errors);
    if (taken.exception != nullptr) {
        throw taken.exception;
    }
    return taken.result;
}

bool PsCache::pskv_size(uint16_t key, uint16_t* const length, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    bool reloadLists = false;
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        if (!mImpl->useCache) {
            const uint16_t k = raw ? key : mImpl->MapKey(key, mBootmode);
            mImpl->Invalidate(k, kAllStores);
            reloadLists = IsListKey(k);
        }
    }
    if (reloadLists) {
        Paused paused(*this);
        mImpl->LoadBootmodeLists();
    }
    result = mImpl->Read(
        key, raw, [length](Entry& entry, Taken& taken) { return TakeSize(entry, taken, length); });
    return result;
}

bool PsCache::pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length,
                       uint16_t* const length, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = mImpl->Read(key, raw, [&](Entry& entry, Taken& taken) {
        return TakeValue(entry, taken, data, max_length, length);
    });
    return result;
}

bool PsCache::pskv_known_key(uint16_t key, bool /*raw*/) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    const auto it = mImpl->entries.lower_bound({key, 0});
    return it != mImpl->entries.end() && it->first.first == key;
}

bool PsCache::key_exists(uint16_t key) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    if (mBootmode == NoBootmode()) {
        return PsServer::key_exists(key);
    }
    return mBootmode < BOOTMODE_COUNT && mImpl->bootmodes[mBootmode].count(key) != 0;
}

bool PsCache::keys_known() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->bootmodesReady && mKeysKnown;
}

uint16_t PsCache::NumBootmodes() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->bootmodesReady ? BOOTMODE_COUNT : 0;
}

// ---------------------------------------------------------------- writes

template <typename Operation>
bool PsCache::write_through(uint16_t key, bool raw, Operation operation) {
    Paused paused(*this);
    if (mServer == nullptr || !(mServer->is_open() || open())) {
        return false;
    }
    const uint16_t stores = mStores;
    const uint16_t mode = mBootmode;
    const auto through = [&](uint16_t target) {
        mServer->SetStores(stores);
        const bool done = operation(target);
        if (done) {
            ClearCache(target, stores);
        }
        return done;
    };
    if (raw || mode == NoBootmode()) {
        return through(key);
    }

    bool ready;
    std::optional<uint16_t> position;
    uint16_t free = BOOTMODE_LIST_LIMIT;
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        ready = mImpl->bootmodesReady && mode < BOOTMODE_COUNT;
        if (ready) {
            const auto& list = mImpl->bootmodes[mode];
            const auto it = list.find(key);
            if (it != list.end()) {
                position = it->second;
            }
            std::array<bool, BOOTMODE_LIST_LIMIT> used{};
            for (const auto& [mapped, at] : list) {
                if (at < BOOTMODE_LIST_LIMIT) {
                    used[at] = true;
                }
            }
            free = static_cast<uint16_t>(std::find(used.begin(), used.end(), false) - used.begin());
        }
    }
    if (!ready || IsBootmodeKey(key)) {
        return false;
    }
    if (position) {
        return through(SlotKey(mode, *position));
    }
    // A key without an override gets the first free position; the list holds at most 63. The
    // list names the slot only once the chip took the slot's write.
    if (free == BOOTMODE_LIST_LIMIT || !mImpl->Accepted(through(SlotKey(mode, free)))) {
        return false;
    }
    return mImpl->UpdateList(mode, free, key);
}

bool PsCache::pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = write_through(
        key, raw, [&](uint16_t target) { return mServer->pskv_set(target, data, length, true); });
    return result;
}

bool PsCache::pskv_clr(uint16_t key, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result =
        write_through(key, raw, [&](uint16_t target) { return mServer->pskv_clr(target, true); });
    return result;
}

bool PsCache::pskv_clrs(uint16_t key, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result =
        write_through(key, raw, [&](uint16_t target) { return mServer->pskv_clrs(target, true); });
    return result;
}

bool PsCache::pskv_clrb(uint16_t key) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    if (mServer == nullptr || !(mServer->is_open() || open())) {
        return result;
    }
    const uint16_t mode = mBootmode;
    std::optional<uint16_t> position;
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        if (mode == NoBootmode() || mode >= BOOTMODE_COUNT || !mImpl->bootmodesReady ||
            IsBootmodeKey(key)) {
            return result;
        }
        const auto it = mImpl->bootmodes[mode].find(key);
        if (it != mImpl->bootmodes[mode].end()) {
            position = it->second;
        }
    }
    if (!position) {
        result = true;
        return result;
    }
    result = mImpl->UpdateList(mode, *position, 0);
    if (result) {
        pskv_clr(SlotKey(mode, *position), true);
    }
    return result;
}

// ---------------------------------------------------------------- pass-through

bool PsCache::read_mem(GenericPointer where, uint16_t length, uint16_t* out) {
    Paused paused(*this);
    return mServer != nullptr && mServer->read_mem(where, length, out);
}

bool PsCache::pskv_next(uint16_t key, uint16_t* next, bool raw) {
    Paused paused(*this);
    if (mServer == nullptr) {
        return false;
    }
    mServer->SetStores(mStores);
    return mServer->pskv_next(key, next, raw);
}

bool PsCache::pskv_next_all(uint16_t key, uint16_t* next) {
    Paused paused(*this);
    return mServer != nullptr && mServer->pskv_next_all(key, next);
}

bool PsCache::pskv_factory_set() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    if (mServer == nullptr) {
        return result;
    }
    mServer->SetStores(mStores);
    result = mServer->pskv_factory_set();
    if (result) {
        ClearCache();
    }
    return result;
}

bool PsCache::pskv_factory_restore(bool all) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    if (mServer == nullptr) {
        return result;
    }
    mServer->SetStores(mStores);
    result = mServer->pskv_factory_restore(all);
    if (result) {
        ClearCache();
    }
    return result;
}

bool PsCache::supports_stores() {
    return true;
}

bool PsCache::inquire_known_keys() {
    Paused paused(*this);
    std::lock_guard<std::mutex> guard(mImpl->lock);
    copy_known_keys(mServer);
    return true;
}

kvcmd_trans_error_handler* PsCache::get_error_handler() {
    return mImpl->clientHandler;
}

void PsCache::set_error_handler(kvcmd_trans_error_handler* handler) {
    mImpl->clientHandler = handler;
}

bool PsCache::reset_kv(reset_t how) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    result = mServer != nullptr && mServer->reset_kv(how);
    if (result) {
        ClearCache();
    }
    return result;
}

bool PsCache::reset_kv_and_close(reset_t how) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    result = mServer != nullptr && mServer->reset_kv_and_close(how);
    if (result) {
        // Nothing is reloaded now: the worker reopens the chip once it is back, which reads
        // everything again.
        std::lock_guard<std::mutex> guard(mImpl->lock);
        mImpl->InvalidateAll();
        mImpl->bootmodesReady = false;
    }
    return result;
}

bool PsCache::get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    Paused paused(*this);
    result = mServer != nullptr && mServer->get_firmware_id(id, name, name_capacity);
    return result;
}

bool PsCache::is_layer_a_supported() {
    Paused paused(*this);
    return mServer != nullptr && mServer->is_layer_a_supported();
}

bool PsCache::get_slt(SlTable*& table, bool refresh) {
    Paused paused(*this);
    return mServer != nullptr && mServer->get_slt(table, refresh);
}

bool PsCache::is_open() {
    Paused paused(*this);
    return mServer != nullptr && mServer->is_open();
}

const char* PsCache::getvar(const char* name) {
    return mServer != nullptr ? mServer->getvar(name) : "";
}
