#include <varnak/threadable.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A body that loops until told to stop, counting its turns.
class Looper : public Threadable {
  public:
    ~Looper() override { StopAndJoin(0); }

    std::atomic<int> turns{0};
    std::atomic<bool> bodyRan{false};
    uint32_t result = 7;

  protected:
    uint32_t ThreadFunc() override {
        bodyRan = true;
        while (KeepRunning()) {
            ++turns;
            std::this_thread::sleep_for(1ms);
        }
        return result;
    }
};

// A body that returns at once.
class OneShot : public Threadable {
  public:
    ~OneShot() override { StopAndJoin(0); }
    std::atomic<bool> bodyRan{false};

  protected:
    uint32_t ThreadFunc() override {
        bodyRan = true;
        return 42;
    }
};

// A body that ignores stop requests; it only ever sleeps, which is a cancellation point.
// Its counter lives outside the object, and the body stops touching the object once it runs,
// so the object may be destroyed while the body still loops.
struct Stubborn : Threadable {
    explicit Stubborn(std::atomic<int>& beats) : beats(beats) {}
    std::atomic<int>& beats;

  protected:
    uint32_t ThreadFunc() override {
        std::atomic<int>* counter = &beats;
        for (;;) {
            counter->fetch_add(1);
            usleep(2000);
        }
    }
};

TEST(Threadable, StartRunsTheBodyAndStopEndsIt) {
    Looper t;
    EXPECT_FALSE(t.IsRunning());
    ASSERT_TRUE(t.Start());
    EXPECT_TRUE(t.IsRunning());
    while (t.turns < 3) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(t.Start()) << "a running thread cannot be started again";
    t.Stop();
    EXPECT_TRUE(t.Join(0));
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.ExitCode(), 7u);
    EXPECT_NE(t.ThreadId(), 0u);
}

TEST(Threadable, EndedThreadIsCollectedByTheNextStart) {
    OneShot t;
    ASSERT_TRUE(t.Start());
    while (t.IsRunning()) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(t.ExitCode(), 42u);
    t.bodyRan = false;
    ASSERT_TRUE(t.Start()) << "an ended thread is joined and started anew";
    EXPECT_TRUE(t.Join(0));
    EXPECT_TRUE(t.bodyRan);
}

TEST(Threadable, JoinWithLimitTimesOutOnARunningThread) {
    Looper t;
    ASSERT_TRUE(t.Start());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(t.Join(50));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 45ms);
    EXPECT_TRUE(t.IsRunning());
    t.Stop();
    EXPECT_TRUE(t.Join(2000));
    EXPECT_FALSE(t.IsRunning());
}

TEST(Threadable, JoinWithoutThreadSucceeds) {
    Looper t;
    EXPECT_TRUE(t.Join(0));
    EXPECT_TRUE(t.Join(10));
}

TEST(Threadable, StopBeforeTheThreadRunsSkipsTheBody) {
    OneShot t;
    Threadable::sStartHookForTesting = [](Threadable& self) { self.Stop(); };
    const bool started = t.Start();
    Threadable::sStartHookForTesting = nullptr;
    ASSERT_TRUE(started);
    EXPECT_TRUE(t.Join(0));
    EXPECT_FALSE(t.bodyRan);
    EXPECT_EQ(t.ExitCode(), Threadable::EXIT_STOPPED_BEFORE_START);
}

TEST(Threadable, StopAndJoinOnANeverStartedObjectIsHarmless) {
    Looper t;
    t.StopAndJoin(100);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.ExitCode(), Threadable::EXIT_NONE);
    ASSERT_TRUE(t.Start()) << "a later Start begins afresh";
    while (t.turns < 1) {
        std::this_thread::sleep_for(1ms);
    }
    t.StopAndJoin(0);
    EXPECT_TRUE(t.bodyRan);
    EXPECT_EQ(t.ExitCode(), 7u);
}

TEST(Threadable, StopAndJoinEndsACooperativeThread) {
    Looper t;
    ASSERT_TRUE(t.Start());
    t.StopAndJoin(2000);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.ExitCode(), 7u);
}

TEST(Threadable, ThreadThatIgnoresStopIsTerminated) {
    std::atomic<int> beats{0};
    auto* t = new Stubborn(beats);
    ASSERT_TRUE(t->Start());
    while (beats < 2) {
        std::this_thread::sleep_for(1ms);
    }
    const auto before = std::chrono::steady_clock::now();
    t->StopAndJoin(100);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    EXPECT_FALSE(t->IsRunning());
    EXPECT_EQ(t->ExitCode(), Threadable::EXIT_TERMINATED);
    delete t;  // the thread is gone: nothing touches the object after this
    const int after = beats.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(beats.load(), after);
}

TEST(Threadable, DestructorTerminatesAThreadThatIgnoresStop) {
    std::atomic<int> beats{0};
    {
        Stubborn t(beats);
        ASSERT_TRUE(t.Start());
        while (beats < 1) {
            std::this_thread::sleep_for(1ms);
        }
        // The destructor asks it to stop, waits 1000 ms, then terminates it.
    }
    const int after = beats.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(beats.load(), after);
}

}  // namespace
