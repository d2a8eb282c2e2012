#include <varnak/threadable.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// How long a cancelled thread is given to reach its cancellation point before it is left
// running detached.
constexpr auto kCancelGrace = std::chrono::milliseconds(5000);

}  // namespace

struct Threadable::State {
    std::mutex lock;
    std::condition_variable changed;
    pthread_t handle{};
    bool hasHandle = false;
    bool started = false;
    bool stopBeforeStart = false;
    bool launched = false;           // Start() has finished its bookkeeping; the routine may go on
    std::atomic<bool> ended{false};  // the routine has returned or was cancelled
    std::atomic<bool> keepRunning{true};
    std::atomic<uint32_t> threadId{0};
    std::atomic<uint32_t> exitCode{EXIT_NONE};
};

struct Threadable::Launch {
    std::shared_ptr<State> state;
    Threadable* self;
};

void (*Threadable::sStartHookForTesting)(Threadable&) = nullptr;

Threadable::Threadable() : mState(std::make_shared<State>()) {}

Threadable::~Threadable() {
    bool running = IsRunning();
    if (running) {
        {
            std::lock_guard<std::mutex> guard(mState->lock);
            if (!mState->started) {
                mState->stopBeforeStart = true;
            }
            mState->keepRunning = false;
        }
        if (!Join(1000)) {
            Terminate();
        }
    } else {
        Join(0);  // collect a thread that ended but was not joined
    }
}

void* Threadable::Routine(void* arg) {
    std::unique_ptr<Launch> launch(static_cast<Launch*>(arg));
    State& state = *launch->state;
    state.threadId = static_cast<uint32_t>(syscall(SYS_gettid));

    // Marks the thread ended however it leaves, also when it is cancelled.
    struct EndMark {
        State& state;
        ~EndMark() {
            std::lock_guard<std::mutex> guard(state.lock);
            state.ended = true;
            state.changed.notify_all();
        }
    } endMark{state};

    {
        std::unique_lock<std::mutex> guard(state.lock);
        state.changed.wait(guard, [&] { return state.launched; });
        state.started = true;
        if (state.stopBeforeStart) {
            state.exitCode = EXIT_STOPPED_BEFORE_START;
            state.keepRunning = false;
            return nullptr;
        }
    }
    const uint32_t code = launch->self->ThreadFunc();
    state.exitCode = code;
    state.keepRunning = false;
    return nullptr;
}

bool Threadable::Start() {
    {
        std::unique_lock<std::mutex> guard(mState->lock);
        if (mState->started) {
            if (mState->keepRunning) {
                return false;
            }
            guard.unlock();
            Join(0);
        }
    }
    {
        std::lock_guard<std::mutex> guard(mState->lock);
        if (mState->hasHandle) {
            return false;  // another Start() won the race
        }
        mState->keepRunning = true;
        mState->stopBeforeStart = false;
        mState->launched = false;
        mState->ended = false;
    }
    auto* launch = new Launch{mState, this};
    pthread_t handle;
    if (pthread_create(&handle, nullptr, &Routine, launch) != 0) {
        delete launch;
        return false;
    }
    if (sStartHookForTesting != nullptr) {
        sStartHookForTesting(*this);
    }
    std::lock_guard<std::mutex> guard(mState->lock);
    mState->handle = handle;
    mState->hasHandle = true;
    mState->started = true;
    mState->launched = true;
    mState->changed.notify_all();
    return true;
}

void Threadable::Stop() {
    std::lock_guard<std::mutex> guard(mState->lock);
    if (!mState->started) {
        mState->stopBeforeStart = true;
    }
    mState->keepRunning = false;
}

bool Threadable::Join(unsigned long milliseconds) {
    pthread_t handle;
    {
        std::unique_lock<std::mutex> guard(mState->lock);
        if (!mState->hasHandle) {
            return true;
        }
        auto ended = [this] { return mState->ended.load(); };
        if (milliseconds == 0) {
            mState->changed.wait(guard, ended);
        } else if (!mState->changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                             ended)) {
            return false;
        }
        if (!mState->hasHandle) {
            return true;  // joined meanwhile by another caller
        }
        handle = mState->handle;
        mState->hasHandle = false;
        mState->started = false;
    }
    pthread_join(handle, nullptr);
    return true;
}

bool Threadable::IsRunning() const {
    std::lock_guard<std::mutex> guard(mState->lock);
    return mState->started && mState->hasHandle && !mState->ended;
}

void Threadable::StopAndJoin(unsigned long milliseconds) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(mState->lock);
        started = mState->started;
        if (!started) {
            mState->stopBeforeStart = true;
            mState->keepRunning = false;
        }
    }
    if (started) {
        Stop();
    }
    if (!Join(milliseconds)) {
        Terminate();
    }
}

void Threadable::Terminate() {
    pthread_t handle;
    {
        std::lock_guard<std::mutex> guard(mState->lock);
        if (!mState->hasHandle) {
            return;
        }
        handle = mState->handle;
        mState->hasHandle = false;
        mState->started = false;
    }
    pthread_cancel(handle);
    bool ended;
    {
        std::unique_lock<std::mutex> guard(mState->lock);
        ended =
            mState->changed.wait_for(guard, kCancelGrace, [this] { return mState->ended.load(); });
    }
    if (ended) {
        pthread_join(handle, nullptr);
    } else {
        pthread_detach(handle);  // it keeps its own reference to the state record
    }
    mState->keepRunning = false;
    mState->exitCode = EXIT_TERMINATED;
}

uint32_t Threadable::ExitCode() const {
    return mState->exitCode;
}

uint32_t Threadable::ThreadId() const {
    return mState->threadId;
}

bool Threadable::KeepRunning() const {
    return mState->keepRunning.load();
}
