// PsCache: life, opening, invalidation and the operations passed through to the wrapped
// server. The other parts are in pscache_entries.cpp, pscache_bootmodes.cpp and
// pscache_worker.cpp.
#include "pscache_impl.h"
#include "trace.h"

using namespace keyward::cache;

// ---------------------------------------------------------------- opening

bool PsCache::Impl::OpenServer() {
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
        const KnownKeySet& known = *owner.mKnownKeys;
        for (uint32_t key = known.lower_bound(0); key != KnownKeySet::kNone;
             key = known.lower_bound(key + 1)) {
            want(static_cast<uint16_t>(key));
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
    uint32_t mine = mKnownKeys->lower_bound(0);
    for (uint16_t key = other.key_next(0); key != 0; key = other.key_next(key)) {
        if (mine != key) {
            return false;
        }
        mine = mKnownKeys->lower_bound(mine + 1);
    }
    return mine == KnownKeySet::kNone;
}

void PsCache::UseCache(bool use) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->useCache = use;
    mImpl->wake = true;
    mImpl->wakeChanged.notify_all();
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
    Paused paused(*this);  // the worker reads the field when it reloads the boot-mode lists
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