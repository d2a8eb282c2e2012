// CSignal: a manual-reset event shared by a list of listeners.
//
// The shared part (CSignal::Event) holds the event and the list. Each CSignal is one listener
// with a pending flag: Set marks this listener pending and sets the event; Clear forgets this
// listener's mark and resets the event only when no other listener is still pending. So with
// several listeners, the event stays set until every listener that set it has cleared it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class CSignal {
  public:
    // The shared part: the event and the list of its listeners.
    class Event {
      public:
        Event() = default;
        Event(const Event&) = delete;
        Event& operator=(const Event&) = delete;

        // Waits for the event: -1 (any negative value) waits without limit, 0 only looks.
        // True only if the event was set; false on time-out, and false when the event has no
        // listener. A wait first watches the event for up to SPIN_MICROSECONDS
        // before it sleeps: a request and its reply cross between threads in a few
        // microseconds, and waking a sleeping thread costs more than that.
        bool Wait(long milliseconds);

        static constexpr long SPIN_MICROSECONDS = 50;

        int ListenerCount() const;

      private:
        friend class CSignal;
        // Watches mSet without the lock until `deadline`; true when it was seen set.
        bool Spin(std::chrono::steady_clock::time_point deadline) const;

        mutable std::mutex mLock;
        std::condition_variable mChanged;
        bool mSet = false;
        std::atomic<bool> mSetSeen{false};  // mirrors mSet for the spinning wait
        CSignal* mHead = nullptr;           // singly linked list of listeners, newest first
    };

    // A listener of a new event of its own.
    CSignal();
    // Another listener of an existing event.
    explicit CSignal(std::shared_ptr<Event> shared);
    // Clears this listener, then unlinks it.
    ~CSignal();
    CSignal(const CSignal&) = delete;
    CSignal& operator=(const CSignal&) = delete;

    // Marks this listener pending and sets the event.
    void Set();
    // Clears this listener's mark. Resets the event and returns false when no other listener
    // is pending; returns true (event still set) otherwise.
    bool Clear();
    // Waits for the event; see Event::Wait.
    bool Wait(long milliseconds);

    bool Pending() const;
    const std::shared_ptr<Event>& Shared() const { return mShared; }

  private:
    std::shared_ptr<Event> mShared;
    bool mPending = false;  // guarded by the event's lock
    CSignal* mNext = nullptr;
};
