// The C interface on POSIX: the event descriptor that a host adds to its own poll loop.
#include <poll.h>

#include "../capi_test_support.h"

namespace {

using namespace voxtrel::testing;
using namespace voxtrel::capi_testing;

TEST(CApiEvents, TheDescriptorPollsReadableWhileAnEventWaits) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    int descriptor = voxtrel_event_descriptor(c.control);
    ASSERT_GE(descriptor, 0);
    pollfd entry{descriptor, POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 0), 0);
    c.peer.Send(Notification("messageplayed", StringParam("1")));
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_EQ(voxtrel_pump(c.control, 0), 1);
    EXPECT_EQ(c.recorder.events, Events{"MessagePlayed 1"});
    // A negative time-out looks only; it never waits without bound.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(voxtrel_pump(c.control, -1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
