// PsCache: the entry map, client reads (waiting for the worker when a key is not fetched yet)
// and the replay of a fetch's errors and exceptions to the client.
#include "pscache_impl.h"
#include "trace.h"

using namespace keyward::cache;

namespace {

// A client read gives up after this many failed attempts of the worker to open the server.
constexpr uint64_t kOpenAttemptsPerRead = 2;

}  // namespace

// ---------------------------------------------------------------- the entry map

void PsCache::Impl::MakePlaceholder(EntryMap::iterator it) {
    if (it->second != nullptr) {
        it->second.reset();
        ++placeholders;
    }
}

void PsCache::Impl::File(EntryKey where, std::unique_ptr<Entry> entry) {
    auto [it, inserted] = entries.try_emplace(where);
    if (!inserted && it->second == nullptr) {
        --placeholders;
    }
    it->second = std::move(entry);
}

void PsCache::Impl::Invalidate(uint16_t key, uint16_t stores) {
    const uint16_t selection = Selection(stores);
    for (auto it = entries.lower_bound({key, 0}); it != entries.end() && it->first.first == key;
         ++it) {
        if ((it->first.second & selection) != 0) {
            MakePlaceholder(it);
        }
    }
}

void PsCache::Impl::InvalidateAll() {
    for (auto& [where, entry] : entries) {
        entry.reset();
    }
    placeholders = entries.size();
    cursor = entries.empty() ? EntryKey{0, 0} : entries.begin()->first;
}

std::optional<PsCache::Impl::EntryKey> PsCache::Impl::NextPlaceholder() {
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

size_t PsCache::PendingEntries() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->placeholders;
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
// retry has passed. The newest report comes first, so the client's record ends describing the
// first thing that went wrong, which the later reports of the same fetch usually follow from.
void Replay(kvcmd_trans_error_handler* handler, const ErrorList& errors) {
    if (handler == nullptr) {
        return;
    }
    for (auto error = errors.rbegin(); error != errors.rend(); ++error) {
        handler->on_error(error->text.c_str(), error->caption.c_str(), error->code,
                          error->type == -1 ? -1 : 0);
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
