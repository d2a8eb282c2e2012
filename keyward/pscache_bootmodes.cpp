// PsCache: the boot-mode key lists, and the reads and writes that a selected boot mode maps
// onto the slots of those lists.
#include "pscache_impl.h"
#include "trace.h"

using namespace keyward::cache;

// ---------------------------------------------------------------- the lists

uint16_t PsCache::Impl::MapKey(uint16_t key, uint16_t mode) const {
    if (mode == NoBootmode()) {
        return key;
    }
    if (!bootmodesReady || mode >= BOOTMODE_COUNT) {
        return 0;
    }
    const auto it = bootmodes[mode].find(key);
    return it != bootmodes[mode].end() ? SlotKey(mode, it->second) : 0;
}

void PsCache::Impl::ReadBootmodeLists() {
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
            // An absent list is empty; a failure the client's handler chose to stop on is a
            // failure. On the worker the wrapped server reports to the worker's own handler,
            // which stops on everything, so that one is never asked.
            failure = clientHandler != nullptr &&
                      clientHandler->get_worst_response() == KVCMD_RESPONSE_ABORT;
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

void PsCache::Impl::LoadBootmodeLists() {
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

bool PsCache::Impl::Accepted(bool answered) {
    kvcmd_trans_error_handler* handler = owner.mServer->get_error_handler();
    return answered && (handler == nullptr || handler->get_last_error_code() == 0 ||
                        handler->get_last_response() == KVCMD_RESPONSE_ACCEPT);
}

bool PsCache::Impl::UpdateList(uint16_t mode, uint16_t position, uint16_t key) {
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
