#include <varnak/signal.h>

#include <sched.h>

#include <algorithm>
#include <chrono>

bool CSignal::Event::Spin(std::chrono::steady_clock::time_point deadline) const {
    for (int round = 0;; ++round) {
        if (mSetSeen.load(std::memory_order_acquire)) {
            return true;
        }
        // Each round hands the processor to any other thread that is ready: on a busy machine
        // the thread that will set the event may be waiting for it.
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        sched_yield();
    }
}

bool CSignal::Event::Wait(long milliseconds) {
    if (milliseconds != 0) {
        const auto spin = std::chrono::microseconds(
            milliseconds < 0 ? SPIN_MICROSECONDS
                             : std::min(SPIN_MICROSECONDS, milliseconds * 1000));
        Spin(std::chrono::steady_clock::now() + spin);
    }
    // The outcome is always read under the lock, so a Set seen while spinning has finished
    // with the event before this wait returns.
    std::unique_lock<std::mutex> guard(mLock);
    if (mHead == nullptr) {
        return false;
    }
    if (milliseconds < 0) {
        mChanged.wait(guard, [this] { return mSet; });
        return true;
    }
    return mChanged.wait_for(guard, std::chrono::milliseconds(milliseconds),
                             [this] { return mSet; });
}

int CSignal::Event::ListenerCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    int count = 0;
    for (const CSignal* listener = mHead; listener != nullptr; listener = listener->mNext) {
        ++count;
    }
    return count;
}

CSignal::CSignal() : CSignal(std::make_shared<Event>()) {}

CSignal::CSignal(std::shared_ptr<Event> shared) : mShared(std::move(shared)) {
    std::lock_guard<std::mutex> guard(mShared->mLock);
    mNext = mShared->mHead;
    mShared->mHead = this;
}

CSignal::~CSignal() {
    Clear();
    std::lock_guard<std::mutex> guard(mShared->mLock);
    for (CSignal** link = &mShared->mHead; *link != nullptr; link = &(*link)->mNext) {
        if (*link == this) {
            *link = mNext;
            break;
        }
    }
}

void CSignal::Set() {
    std::lock_guard<std::mutex> guard(mShared->mLock);
    mPending = true;
    mShared->mSet = true;
    mShared->mSetSeen.store(true, std::memory_order_release);
    mShared->mChanged.notify_all();
}

bool CSignal::Clear() {
    std::lock_guard<std::mutex> guard(mShared->mLock);
    mPending = false;
    for (const CSignal* listener = mShared->mHead; listener != nullptr;
         listener = listener->mNext) {
        if (listener->mPending) {
            return true;
        }
    }
    mShared->mSet = false;
    mShared->mSetSeen.store(false, std::memory_order_relaxed);
    return false;
}

bool CSignal::Wait(long milliseconds) {
    return mShared->Wait(milliseconds);
}

bool CSignal::Pending() const {
    std::lock_guard<std::mutex> guard(mShared->mLock);
    return mPending;
}
