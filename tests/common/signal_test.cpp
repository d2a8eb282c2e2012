#include <varnak/signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(CSignal, SetThenWaitSucceedsAtOnce) {
    CSignal s;
    EXPECT_FALSE(s.Wait(0));
    s.Set();
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(-1)) << "manual reset: stays set";
    EXPECT_FALSE(s.Clear());
    EXPECT_FALSE(s.Wait(0));
}

TEST(CSignal, WaitTimesOut) {
    CSignal s;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.Wait(30));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 25ms);
}

TEST(CSignal, WaitWithoutLimitWakesWhenSetFromAnotherThread) {
    CSignal s;
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        s.Set();
    });
    EXPECT_TRUE(s.Wait(-1));
    setter.join();
}

TEST(CSignal, ClearKeepsTheEventSetWhileAnotherListenerIsPending) {
    CSignal first;
    CSignal second(first.Shared());
    CSignal third(first.Shared());
    EXPECT_EQ(first.Shared()->ListenerCount(), 3);

    first.Set();
    second.Set();
    EXPECT_TRUE(first.Clear()) << "second is still pending";
    EXPECT_TRUE(third.Wait(0));
    EXPECT_FALSE(second.Clear()) << "nobody pending any more";
    EXPECT_FALSE(third.Wait(0));
}

TEST(CSignal, DestroyingAPendingListenerReleasesItsMark) {
    CSignal keeper;
    {
        CSignal other(keeper.Shared());
        other.Set();
        EXPECT_TRUE(keeper.Wait(0));
    }
    EXPECT_EQ(keeper.Shared()->ListenerCount(), 1);
    EXPECT_FALSE(keeper.Wait(0)) << "the event was reset when its only pending listener left";
}

TEST(CSignal, EventWithoutListenersFailsAtOnce) {
    std::shared_ptr<CSignal::Event> event;
    {
        CSignal s;
        event = s.Shared();
        s.Set();
    }
    EXPECT_EQ(event->ListenerCount(), 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(event->Wait(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}

TEST(CSignal, ManyThreadsSetAndClearWithoutLosingTheEvent) {
    CSignal waiter;
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            CSignal mine(waiter.Shared());
            for (int n = 0; n < 500; ++n) {
                mine.Set();
                mine.Clear();
            }
            mine.Set();
            ++done;
            while (done < kThreads) {
                std::this_thread::yield();
            }
            // All threads set their mark last; until the last one leaves, the event is set.
            EXPECT_TRUE(waiter.Wait(0));
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(waiter.Wait(0));
}

}  // namespace
