// PsCache: the worker thread that fetches the client's reads and prefetches every wanted key,
// and the pausing that keeps the client and the worker from using the wrapped server at once.
#include "pscache_impl.h"
#include "trace.h"

#include <chrono>

using namespace keyward::cache;

namespace {

constexpr auto kReopenWait = std::chrono::milliseconds(1000);

}  // namespace

// ---------------------------------------------------------------- the worker

void PsCache::Impl::Wake() {
    std::lock_guard<std::mutex> guard(lock);
    wake = true;
    wakeChanged.notify_all();
}

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
