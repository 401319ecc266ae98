// Tests of the Windows doorbell: rings from any thread reach onRing on the host's thread through
// Wait or the host's own loop, coalesce, and leave WM_QUIT and a self-destroying doorbell alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

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

TEST(HostDoorbell, RingsReachTheHostThreadOnceAndCoalesce) {
    Counter counter;
    auto bell = HostDoorbell::Create(counter.Callback());
    ASSERT_NE(bell, nullptr);
    EXPECT_FALSE(bell->Wait(0));
    // Many rings from other threads before anyone waits: one onRing, on this thread.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                bell->Ring();
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_EQ(counter.rings, 1);
    EXPECT_EQ(counter.thread, GetCurrentThreadId());
    EXPECT_FALSE(bell->Wait(0));
    // A zero time-out takes a ring that waits; a ring during onRing is handled again.
    counter.also = [&] {
        if (counter.rings == 2) bell->Ring();
    };
    bell->Ring();
    EXPECT_TRUE(bell->Wait(0));
    EXPECT_TRUE(bell->Wait(5000));
    EXPECT_EQ(counter.rings, 3);
    // The host's own message loop handles rings too, and Wait then has nothing to report.
    counter.also = nullptr;
    std::thread([&] { bell->Ring(); }).join();
    DrainMessages();
    EXPECT_EQ(counter.rings, 4);
    EXPECT_FALSE(bell->Wait(0));
    // A quit message stays for the host's own loop.
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

TEST(HostDoorbell, SeveralDoorbellsAndOneDestroyedOnAnotherThread) {
    Counter a;
    Counter b;
    auto first = HostDoorbell::Create(a.Callback());
    auto second = HostDoorbell::Create(b.Callback());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    second->Ring();
    EXPECT_FALSE(first->Wait(0));  // the other doorbell's ring is handled, not reported here
    EXPECT_EQ(b.rings, 1);
    // The window goes when its own thread's loop runs again; its queued ring goes with it.
    first->Ring();
    std::thread([&] { first.reset(); }).join();
    DrainMessages();
    EXPECT_EQ(a.rings, 0);
    second.reset();
    // The window class went with the last doorbell; a new one registers it again.
    auto third = HostDoorbell::Create(a.Callback());
    ASSERT_NE(third, nullptr);
    third->Ring();
    EXPECT_TRUE(third->Wait(5000));
    EXPECT_EQ(a.rings, 1);
}

}  // namespace
}  // namespace voxtrel
