// Threadable: a thread owned by an object, on POSIX threads.
//
// A derived class supplies the body, ThreadFunc(), which returns the thread's exit code and
// should leave its loop once KeepRunning() turns false. States:
//   not started -> Start() -> running -> Stop() -> the body leaves its loop -> ended
//   -> Join() -> not started.
// A Stop() that arrives before the thread has run makes the thread end at once with exit code
// EXIT_STOPPED_BEFORE_START, without running the body. A thread that does not end within the
// time given to StopAndJoin() (or 1000 ms in the destructor) is terminated: it is cancelled at
// its next cancellation point (any blocking wait, sleep, read or poll) and its exit code becomes
// EXIT_TERMINATED. The state record is shared with the thread, so the thread never touches freed
// state; a body that never reaches a cancellation point is left running detached.
//
// A derived class whose body uses its own members must stop the thread in its own destructor
// (StopAndJoin), because the base destructor runs after those members are gone.
#pragma once

#include <cstdint>
#include <memory>

// Base of classes that must not be copied.
class NoCopy {
  protected:
    NoCopy() = default;
    ~NoCopy() = default;

  public:
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

class Threadable : public NoCopy {
  public:
    static constexpr uint32_t EXIT_STOPPED_BEFORE_START = 0xDEAD1;
    static constexpr uint32_t EXIT_TERMINATED = 0xDEAD2;
    static constexpr uint32_t EXIT_NONE = 0;

  protected:
    // The thread body; its result is the exit code.
    virtual uint32_t ThreadFunc() = 0;

  public:
    Threadable();
    // Stops a running thread, waits up to 1000 ms for it and terminates it if it has not ended.
    virtual ~Threadable();

    // Asks the thread to stop: clears KeepRunning(); before the thread has run, it also makes
    // the thread skip its body.
    virtual void Stop();

    // Starts the thread. False when it is already running or cannot be created. A thread that
    // has ended but was not joined is joined first.
    bool Start();

    // Waits for the thread to end: 0 waits without limit. True when it has ended (or there is
    // no thread); the thread is then not started any more.
    bool Join(unsigned long milliseconds);

    // Started, with a thread, and the thread has not ended.
    bool IsRunning() const;

    // Stop() (or, before the thread has run, a stop that skips the body), then Join() with the
    // given time (0 without limit); a thread that has not ended by then is terminated.
    void StopAndJoin(unsigned long milliseconds);

    // The exit code of the last thread: the body's result, EXIT_STOPPED_BEFORE_START or
    // EXIT_TERMINATED; EXIT_NONE before any thread ended.
    uint32_t ExitCode() const;

    // The kernel thread id of the last thread started, 0 before.
    uint32_t ThreadId() const;

    // Called by Start() after the thread is created and before it may run: lets tests act in
    // the window between creation and the first step of the thread. Null in normal use.
    static void (*sStartHookForTesting)(Threadable&);

  protected:
    // Read by the body, without the lock, to know when to leave its loop.
    bool KeepRunning() const;

  private:
    struct State;
    struct Launch;
    static void* Routine(void* arg);
    void Terminate();

    std::shared_ptr<State> mState;
};
