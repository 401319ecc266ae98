// Cutting a byte stream into messages, whatever the receive boundaries.
#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace voxtrel {
namespace {

using Messages = std::vector<std::string>;

// Feeds a stream in pieces that end at the given offsets: the messages, then the bytes left
// waiting.
std::pair<Messages, size_t> Feed(const std::string& stream, std::vector<size_t> cuts,
                                 MessageFramer* reused = nullptr) {
    MessageFramer own;
    MessageFramer& framer = reused ? *reused : own;
    Messages got;
    std::string message;
    cuts.push_back(stream.size());
    for (size_t at = 0, i = 0; i < cuts.size(); at = cuts[i++]) {
        EXPECT_TRUE(framer.Append(stream.data() + at, cuts[i] - at));
        while (framer.Next(message))
            got.push_back(message);
    }
    return {got, framer.Buffered()};
}

// Each stream fed a byte at a time, and cut in two at every pair of offsets.
TEST(MessageFramer, TerminatorsWhateverTheReceiveBoundaries) {
    const std::pair<std::string, std::pair<Messages, size_t>> cases[] = {
        {"first\r\n\r\nsecond one\r\n\r\n\r\n\r\nthird\r\n\r\nrest\r\n\r",
         {{"first", "second one", "", "third"}, 7}},  // two in a row: an empty message
        {"a\r\n\r\nb\r\nc\r\n\r\ntail", {{"a", "b\r\nc"}, 4}},
        {"a\r\r\n\r\r\n\r\n", {{"a\r\r\n\r"}, 0}},
        {"\r\r\r\r\n\r\n\n", {{"\r\r\r"}, 1}},
        {"\r\n\r\r\n\r\n\r\n\r\n", {{"\r\n\r", ""}, 0}},
        {"x\r\n\rx\r\n\r", {{}, 8}},
    };
    for (const auto& [stream, expected] : cases) {
        std::vector<size_t> everyByte(stream.size() - 1);
        std::iota(everyByte.begin(), everyByte.end(), 1);
        EXPECT_EQ(Feed(stream, everyByte), expected);
        for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
            for (size_t cut2 = cut1; cut2 <= stream.size(); ++cut2)
                ASSERT_EQ(Feed(stream, {cut1, cut2}), expected) << cut1 << " " << cut2;
        }
    }
}

// A peer that sends a message just under the limit a byte per receive, every byte looking like
// the start of a terminator: each receive must cost its own bytes, not the whole tail again (a
// search from the tail's start every time takes minutes here).
TEST(MessageFramer, ALargeMessageByteByByteIsCutOnce) {
    std::string body;
    while (body.size() + 8 < MessageFramer::kDefaultLimit)
        body += "\r\n\rx";
    std::vector<size_t> cuts(body.size() + 3);
    std::iota(cuts.begin(), cuts.end(), 1);
    const auto [got, left] = Feed(body + "\r\n\r\n", cuts);
    EXPECT_TRUE(got == Messages{body} &&
                left == 0);  // not EXPECT_EQ: a megabyte in the failure text
}

// Only the bytes after the last complete message count against the limit.
TEST(MessageFramer, TheLimitCountsOnlyTheUnterminatedTailAndClearDropsIt) {
    for (std::string before : {"", "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm\r\n\r\n"}) {
        MessageFramer framer(16);
        const std::string full = before + std::string(16, 'x');
        EXPECT_TRUE(framer.Append(full.data(), full.size())) << before;
        EXPECT_FALSE(framer.Append("x", 1)) << before;
    }
    MessageFramer framer;
    Feed("half a mess", {}, &framer);
    framer.Clear();
    EXPECT_EQ(Feed("age\r\n\r\n", {}, &framer).first, Messages{"age"});
}

}  // namespace
}  // namespace voxtrel
