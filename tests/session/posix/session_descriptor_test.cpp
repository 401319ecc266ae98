// A session gives back every descriptor it took: its wake-up socket and its connection, whether
// the connection was made or refused.
#include <gtest/gtest.h>

#include "../../net/posix/open_descriptors.h"
#include "../recording_session.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;

TEST(SessionDescriptors, NoneLeftAfterAConnectedOrRefusedSession) {
    int before = OpenDescriptors();
    { Connected c; }
    EXPECT_EQ(OpenDescriptors(), before);
    uint16_t port = FakePeer().Port();  // no listener there any more
    {
        RecordingSession session;
        EXPECT_FALSE(session.Connect("127.0.0.1", port, 5, "user", "secret"));
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace voxtrel
