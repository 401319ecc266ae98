// The C interface on Windows: callbacks run from the host's own GetMessage loop, and a control
// destroyed inside one of them outlives that delivery.
#include <windows.h>

#include <functional>

#include "../capi_test_support.h"

namespace {

using namespace voxtrel::capi_testing;

// The host's own loop, as a GUI program runs it, until done() or seconds passed: GetMessage and
// DispatchMessage only, never voxtrel_pump. A thread timer wakes it to look at both.
void RunHostLoop(const std::function<bool()>& done, double seconds) {
    const UINT_PTR tick = SetTimer(nullptr, 0, 20, nullptr);
    ASSERT_NE(tick, 0u);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    MSG msg;
    while (!done() && GetTickCount64() < deadline && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, tick);
}

// Every message left to the session after the control is gone, then the end of the connection;
// false when it stays open for seconds.
bool ConnectionEnds(FakePeer& peer, int seconds) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    std::string message;
    // Waits longer than the deadline: a connection still open is told from one that ended.
    while (peer.NextMessage(message, 2 * seconds)) {
        if (GetTickCount64() >= deadline) return false;
    }
    return GetTickCount64() < deadline;
}

TEST(CApiHostLoop, CallbacksRunFromTheHostsOwnMessageLoop) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    c.peer.Send(Notification("callstatechanged", StringParam("7") + IntParam(3)) +
                Notification("messageplayed", StringParam("7")));
    RunHostLoop([&] { return c.recorder.events.size() >= 2; }, 5);
    EXPECT_EQ(c.recorder.events, (Events{"CallStateChanged 7 3", "MessagePlayed 7"}));
    for (size_t i = 0; i < c.recorder.threads.size(); ++i)
        EXPECT_EQ(c.recorder.threads[i], std::this_thread::get_id()) << i;
}

TEST(CApiHostLoop, DestroyedFromInsideACallbackRunByTheHostsOwnLoop) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    // The callback pumps once, then destroys the control twice and finds it refused.
    c.DestroyInsideTheFirstOfThreeEvents();
    RunHostLoop([&] { return !c.recorder.events.empty(); }, 5);
    EXPECT_EQ(c.recorder.events, Events{"CallStateChanged 1 3"});
    // The loop goes on: the control is freed from it, and the events behind the first are
    // dropped with it.
    RunHostLoop([] { return false; }, 0.5);
    EXPECT_EQ(c.recorder.events, Events{"CallStateChanged 1 3"});
    EXPECT_TRUE(ConnectionEnds(c.peer, 5));
}

TEST(CApiHostLoop, DestroyedInsideACallbackOfAPumpNestedInTheHostsLoop) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    struct Nest {
        voxtrel_control* control;
        FakePeer* peer;
        int seen = 0;
        bool inner = false;
    } nest{c.control, &c.peer};
    // The first event, run by the host's loop, lets the worker go on (a new window drops the
    // event in hand), has a second one sent and pumps; the second, run by that pump, destroys
    // the control. The pump returns first, then the outer callback, still inside the delivery.
    ASSERT_EQ(voxtrel_on_message_played(
                  c.control,
                  [](void* user, const char*) {
                      auto* n = static_cast<Nest*>(user);
                      if (++n->seen == 1) {
                          voxtrel_destroy_window(n->control);
                          EXPECT_EQ(voxtrel_create_window(n->control), 1);
                          n->peer->Send(Notification("messageplayed", StringParam("2")));
                          for (int i = 0; i < 250 && !n->inner; ++i)
                              voxtrel_pump(n->control, 20);
                      } else {
                          n->inner = true;
                          voxtrel_destroy(n->control);
                      }
                  },
                  &nest),
              1);
    c.peer.Send(Notification("messageplayed", StringParam("1")));
    c.control = nullptr;
    RunHostLoop([&] { return nest.seen >= 1; }, 5);
    EXPECT_TRUE(nest.inner);
    RunHostLoop([] { return false; }, 0.5);
    EXPECT_EQ(nest.seen, 2);
    EXPECT_TRUE(ConnectionEnds(c.peer, 5));
}

}  // namespace
