// Cutting a byte stream into messages, whatever the receive boundaries.
#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace voxtrel {
namespace {

using Messages = std::vector<std::string>;

// Appends bytes and adds the messages they complete to got.
void Feed(MessageFramer& framer, const std::string& bytes, Messages& got) {
    EXPECT_TRUE(framer.Append(bytes.data(), bytes.size()));
    std::string message;
    while (framer.Next(message))
        got.push_back(message);
}

// Feeds a stream cut at the given offsets: the messages, then the bytes left waiting.
std::pair<Messages, size_t> FeedCut(const std::string& stream, std::vector<size_t> cuts) {
    MessageFramer framer;
    Messages got;
    cuts.push_back(stream.size());
    for (size_t at = 0, i = 0; i < cuts.size(); at = cuts[i++])
        Feed(framer, stream.substr(at, cuts[i] - at), got);
    return {got, framer.Buffered()};
}

// Each stream fed in pieces of one to three bytes, and cut in two at every pair of offsets.
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
        for (size_t piece = 1; piece <= 3; ++piece) {
            std::vector<size_t> cuts;
            for (size_t at = piece; at < stream.size(); at += piece)
                cuts.push_back(at);
            EXPECT_EQ(FeedCut(stream, cuts), expected) << piece;
        }
        for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
            for (size_t cut2 = cut1; cut2 <= stream.size(); ++cut2)
                ASSERT_EQ(FeedCut(stream, {cut1, cut2}), expected) << cut1 << " " << cut2;
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
    MessageFramer framer;
    Messages got;
    for (char byte : body + "\r\n\r\n")
        Feed(framer, std::string(1, byte), got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0] == body);  // not EXPECT_EQ: a megabyte in the failure text
    EXPECT_EQ(framer.Buffered(), 0u);
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
    Messages got;
    Feed(framer, "half a mess", got);
    framer.Clear();
    Feed(framer, "age\r\n\r\n", got);
    EXPECT_EQ(got, Messages{"age"});
}

}  // namespace
}  // namespace voxtrel
