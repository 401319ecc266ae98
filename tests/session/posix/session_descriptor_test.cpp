// A session gives back every descriptor it took, after a connection made and after one refused.
#include <gtest/gtest.h>

#include "../../net/posix/open_descriptors.h"
#include "../recording_session.h"

namespace voxtrel::testing {
namespace {

TEST(SessionDescriptors, NoneLeftAfterAConnectedOrRefusedSession) {
    int before = OpenDescriptors();
    { Connected c; }
    EXPECT_EQ(OpenDescriptors(), before);
    uint16_t port = FakePeer().Port();  // no listener there any more
    EXPECT_FALSE(RecordingSession().Connect("127.0.0.1", port, 5, "user", "secret"));
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace voxtrel::testing
