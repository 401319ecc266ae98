// Tests of the Windows doorbell: rings from any thread reach onRing on the host's thread through
// Wait or the host's own loop, coalesce, and leave WM_QUIT and a self-destroying doorbell alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "control/host_doorbell.h"

namespace voxtrel {
namespace {

struct Counter {
    int rings = 0;
    DWORD thread = 0;
    std::function<void()> also;
    std::function<void()> Callback() {
        return [this] {
            ++rings;
            thread = GetCurrentThreadId();
            if (also) also();
        };
    }
};

void DrainMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

// A doorbell whose rings are counted.
class Doorbell : public ::testing::Test {
  protected:
    void SetUp() override {
        bell = HostDoorbell::Create(counter.Callback());
        ASSERT_NE(bell, nullptr);
    }
    Counter counter;
    std::unique_ptr<HostDoorbell> bell;
};

TEST_F(Doorbell, RingFromAnotherThreadRunsOnRingOnTheHostThread) {
    std::thread([&] { bell->Ring(); }).join();
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_EQ(counter.rings, 1);
    EXPECT_EQ(counter.thread, GetCurrentThreadId());
    EXPECT_EQ(bell->Descriptor(), -1);
}

TEST_F(Doorbell, WaitWithoutRingTimesOut) {
    EXPECT_FALSE(bell->Wait(0));
    EXPECT_FALSE(bell->Wait(30));
    EXPECT_EQ(counter.rings, 0);
}

TEST_F(Doorbell, ZeroTimeoutLooksOnlyButTakesAWaitingRing) {
    bell->Ring();
    EXPECT_TRUE(bell->Wait(0));
    EXPECT_EQ(counter.rings, 1);
    EXPECT_FALSE(bell->Wait(0));
}

TEST_F(Doorbell, RingsWhileOneWaitsCoalesce) {
    std::thread([&] {
        for (int i = 0; i < 100; ++i)
            bell->Ring();
    }).join();
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_EQ(counter.rings, 1);
    EXPECT_FALSE(bell->Wait(0));
    // Once handled, the next ring is a new one.
    bell->Ring();
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_EQ(counter.rings, 2);
}

TEST_F(Doorbell, RingDuringOnRingIsHandledAgain) {
    counter.also = [&] {
        if (counter.rings == 1) bell->Ring();
    };
    bell->Ring();
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_EQ(counter.rings, 2);
}

TEST_F(Doorbell, TheHostsOwnMessageLoopHandlesRings) {
    std::thread([&] { bell->Ring(); }).join();
    DrainMessages();
    EXPECT_EQ(counter.rings, 1);
    // Already handled: a later Wait has nothing to report.
    EXPECT_FALSE(bell->Wait(0));
}

TEST_F(Doorbell, WaitLeavesQuitForTheHost) {
    PostQuitMessage(3);
    EXPECT_FALSE(bell->Wait(30));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 3u);
}

TEST(HostDoorbell, DestroyedByItsOwnOnRing) {
    std::unique_ptr<HostDoorbell> bell;
    int rings = 0;
    bell = HostDoorbell::Create([&] {
        ++rings;
        bell.reset();
    });
    ASSERT_NE(bell, nullptr);
    HostDoorbell* raw = bell.get();
    raw->Ring();
    EXPECT_TRUE(raw->Wait(5000));
    EXPECT_EQ(rings, 1);
    EXPECT_EQ(bell, nullptr);
}

TEST(HostDoorbell, SeveralDoorbellsOnOneThreadAndAfterTheLastIsGone) {
    Counter a;
    Counter b;
    auto first = HostDoorbell::Create(a.Callback());
    auto second = HostDoorbell::Create(b.Callback());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    second->Ring();
    EXPECT_FALSE(first->Wait(0));  // the other doorbell's ring is handled, not reported here
    EXPECT_EQ(b.rings, 1);
    first.reset();
    second.reset();
    // The window class went with the last doorbell; a new one registers it again.
    auto third = HostDoorbell::Create(a.Callback());
    ASSERT_NE(third, nullptr);
    third->Ring();
    EXPECT_TRUE(third->Wait(5000));
    EXPECT_EQ(a.rings, 1);
}

TEST(HostDoorbell, DestroyedOnAnotherThreadLeavesTheNextDoorbellItsWindow) {
    Counter a;
    auto first = HostDoorbell::Create(a.Callback());
    ASSERT_NE(first, nullptr);
    first->Ring();
    std::thread([&] { first.reset(); }).join();
    // The window goes when its own thread's loop runs again; its queued ring goes with it.
    DrainMessages();
    EXPECT_EQ(a.rings, 0);
    Counter b;
    auto second = HostDoorbell::Create(b.Callback());
    ASSERT_NE(second, nullptr);
    second->Ring();
    EXPECT_TRUE(second->Wait(5000));
    EXPECT_EQ(b.rings, 1);
}

TEST(HostDoorbell, RingsFromManyThreadsAllArrive) {
    std::atomic<int> pending{0};
    int rings = 0;
    auto bell = HostDoorbell::Create([&] { ++rings; });
    ASSERT_NE(bell, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                pending.fetch_add(1);
                bell->Ring();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    // However they coalesced, at least one ring follows the last one rung.
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_GE(rings, 1);
    EXPECT_EQ(pending.load(), 200);
}

}  // namespace
}  // namespace voxtrel
