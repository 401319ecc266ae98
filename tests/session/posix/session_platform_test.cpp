// What only POSIX lets the session suite see: the options of the session's own connection and the
// descriptors a session leaves behind, and a session made when no descriptor is left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../../net/posix/open_descriptors.h"
#include "../recording_session.h"
#include "net/socket_state.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;

// The descriptor of this process's TCP connection to the loopback port, or -1.
int ConnectionTo(uint16_t port) {
    for (int descriptor = 0; descriptor < 4096; ++descriptor) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
            return descriptor;
        }
    }
    return -1;
}

TEST(SessionPlatform, TheConnectionProbesForAVanishedPeer) {
    Connected c;
    ASSERT_TRUE(c.ok);
    int descriptor = ConnectionTo(c.peer.Port());
    ASSERT_GE(descriptor, 0);
    int on = 0;
    socklen_t length = sizeof on;
    ASSERT_EQ(getsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, &length), 0);
    EXPECT_NE(on, 0);
}

TEST(SessionPlatform, NoDescriptorLeftAfterAConnectedOrRefusedSession) {
    int before = OpenDescriptors();
    { Connected c; }
    EXPECT_EQ(OpenDescriptors(), before);
    uint16_t port = FakePeer().Port();  // no listener there any more
    EXPECT_FALSE(RecordingSession().Connect("127.0.0.1", port, 5, "user", "secret"));
    EXPECT_EQ(OpenDescriptors(), before);
}

// Without descriptors the wake-up channel cannot be made: Connect fails at once and says why,
// and the session goes away without waiting on a worker that nothing could wake.
TEST(SessionPlatform, NoWakeUpChannelFailsConnectAndDestroysPromptly) {
    // The child re-runs this test alone, so no other thread of the suite is copied into it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakePeer peer;
    const uint16_t port = peer.Port();
    EXPECT_EXIT(
        {
            alarm(5);
            // A first session while descriptors are left: a sanitizer's type checks then know
            // the session's type and need no descriptor of their own later.
            { RecordingSession warmUp; }
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            int highest = 0;
            for (int descriptor = 0; descriptor < 4096; ++descriptor) {
                if (fcntl(descriptor, F_GETFD) != -1) highest = descriptor;
            }
            limit.rlim_cur = static_cast<rlim_t>(highest + 1);
            setrlimit(RLIMIT_NOFILE, &limit);
            while (dup(0) >= 0) {  // the holes below the highest descriptor
            }
            {
                RecordingSession session;
                if (session.Connect("127.0.0.1", port, 1, "user", "secret")) _exit(2);
            }
            if (LastSocketErrorMessage().find("Session wake-up socket") == std::string::npos) {
                _exit(3);
            }
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "Session wake-up socket");
}

}  // namespace
}  // namespace voxtrel
