// The inside of PsCache, shared by its source files (not installed):
//   pscache.cpp            life, opening, invalidation and the operations passed through
//   pscache_entries.cpp    the entry map, client reads and the replay of a fetch's errors
//   pscache_bootmodes.cpp  the boot-mode lists, the reads and writes that map onto their slots
//   pscache_worker.cpp     the worker thread and pausing it
#pragma once

#include <keyward/pscache.h>
#include <varnak/threadable.h>

#include <algorithm>
#include <array>
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

namespace keyward::cache {

constexpr uint16_t kAllStores = 0x001F;
// The order in which the stores are searched.
constexpr uint16_t kStoreOrder[] = {0x0008, 0x0001, 0x0002, 0x0010, 0x0004};

inline uint16_t Selection(uint16_t stores) {
    return stores != 0 ? stores : kAllStores;
}

inline bool IsBootmodeKey(uint16_t key) {
    return key >= PsCache::BOOTMODE_LIST_KEY && key < PsCache::BOOTMODE_KEYS_END;
}

inline bool IsListKey(uint16_t key) {
    return key >= PsCache::BOOTMODE_LIST_KEY &&
           key < PsCache::BOOTMODE_LIST_KEY + PsCache::BOOTMODE_COUNT;
}

inline uint16_t SlotKey(uint16_t mode, uint16_t position) {
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

inline bool AnyFailure(const ErrorList& errors) {
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

}  // namespace keyward::cache

// ---------------------------------------------------------------- the cache state

struct PsCache::Impl {
    class Thread;
    using Entry = keyward::cache::Entry;
    using EntryKey = keyward::cache::EntryKey;
    using EntryMap = keyward::cache::EntryMap;
    using Taken = keyward::cache::Taken;

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
    kvcmd_trans_error_handler* clientHandler = nullptr;  // set with the worker stopped
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
    uint16_t MapKey(uint16_t key, uint16_t mode) const;
    void MakePlaceholder(EntryMap::iterator it);
    void File(EntryKey where, std::unique_ptr<Entry> entry);
    // Every entry of `key` whose store selection meets `stores` (0: all) becomes a placeholder.
    void Invalidate(uint16_t key, uint16_t stores);
    void InvalidateAll();
    // The next placeholder from the cursor on, wrapping round once; moves the cursor past it.
    std::optional<EntryKey> NextPlaceholder();

    // ---- taking the lock itself

    void Wake();

    // ---- talking to the wrapped server: with the worker paused, or on the worker

    // Opens the wrapped server, copies its keys, wants every key and slot again and reads the
    // boot-mode lists.
    bool OpenServer();
    void ReadBootmodeLists();
    // Reloads the lists, opening the cache first when it is closed.
    void LoadBootmodeLists();
    // Whether a write the wrapped server answered was taken by the chip: a refusal is reported
    // to the handler, unless the handler chose to count it as success.
    bool Accepted(bool answered);
    // A client read: forgets the client's error record, fetches the key when needed and takes
    // the answer with `take` from the entry of the whole store selection, or else from the store
    // entries in search order until one answers. Reports what the fetch reported and throws what
    // it threw; a failed fetch is forgotten.
    using Taker = std::function<bool(Entry& entry, Taken& taken)>;
    bool Read(uint16_t key, bool raw, const Taker& take);
    // Position `position` of boot mode `mode` becomes `key` (0 removes it): writes the list
    // key, then the map.
    bool UpdateList(uint16_t mode, uint16_t position, uint16_t key);
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
    keyward::cache::ThreadErrorHandler mHandler;
};

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
