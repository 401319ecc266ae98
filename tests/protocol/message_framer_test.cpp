// Cutting a byte stream into messages, whatever the receive boundaries.
#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace voxtrel {
namespace {

std::vector<std::string> Feed(MessageFramer& framer, const std::string& bytes) {
    EXPECT_TRUE(framer.Append(bytes.data(), bytes.size()));
    std::vector<std::string> messages;
    std::string message;
    while (framer.Next(message))
        messages.push_back(message);
    return messages;
}

using Messages = std::vector<std::string>;

TEST(MessageFramer, SeveralMessagesInOneReceive) {
    MessageFramer framer;
    EXPECT_EQ(Feed(framer, "a\r\n\r\nb\r\nc\r\n\r\ntail"), (Messages{"a", "b\r\nc"}));
    EXPECT_EQ(framer.Buffered(), 4u);
    EXPECT_EQ(Feed(framer, "\r\n\r\n"), Messages{"tail"});
    EXPECT_EQ(framer.Buffered(), 0u);
}

TEST(MessageFramer, TwoTerminatorsInARowGiveAnEmptyMessage) {
    MessageFramer framer;
    EXPECT_EQ(Feed(framer, "x\r\n\r\n\r\n\r\n"), (Messages{"x", ""}));
}

TEST(MessageFramer, EverySplitGivesTheSameMessages) {
    const std::string stream = "first\r\n\r\nsecond one\r\n\r\n\r\n\r\nthird\r\n\r\nrest\r\n\r";
    MessageFramer whole;
    Messages expected = Feed(whole, stream);
    ASSERT_EQ(expected, (Messages{"first", "second one", "", "third"}));
    for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 3) {
            MessageFramer framer;
            Messages got = Feed(framer, stream.substr(0, cut1));
            for (const auto& m : Feed(framer, stream.substr(cut1, cut2 - cut1)))
                got.push_back(m);
            for (const auto& m : Feed(framer, stream.substr(cut2)))
                got.push_back(m);
            ASSERT_EQ(got, expected) << cut1 << " " << cut2;
            EXPECT_EQ(framer.Buffered(), 7u);
        }
    }
}

TEST(MessageFramer, TerminatorsAmongCarriageReturnsInAnyPieces) {
    struct Case {
        std::string stream;
        Messages messages;
        size_t left;
    } cases[] = {
        {"a\r\r\n\r\r\n\r\n", {"a\r\r\n\r"}, 0},
        {"\r\r\r\r\n\r\n\n", {"\r\r\r"}, 1},
        {"\r\n\r\r\n\r\n\r\n\r\n", {"\r\n\r", ""}, 0},
        {"x\r\n\rx\r\n\r", {}, 8},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, c.stream.size()}) {
            MessageFramer framer;
            Messages got;
            for (size_t at = 0; at < c.stream.size(); at += piece) {
                for (const auto& m : Feed(framer, c.stream.substr(at, piece)))
                    got.push_back(m);
            }
            EXPECT_EQ(got, c.messages) << piece;
            EXPECT_EQ(framer.Buffered(), c.left) << piece;
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
    const std::string stream = body + "\r\n\r\n";
    MessageFramer framer;
    Messages got;
    for (char byte : stream) {
        for (const auto& m : Feed(framer, std::string(1, byte)))
            got.push_back(m);
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0] == body);  // not EXPECT_EQ: a megabyte in the failure text
    EXPECT_EQ(framer.Buffered(), 0u);
}

TEST(MessageFramer, AnUnterminatedFloodPassesTheLimit) {
    MessageFramer framer(16);
    std::string chunk(10, 'x');
    EXPECT_TRUE(framer.Append(chunk.data(), chunk.size()));
    EXPECT_FALSE(framer.Append(chunk.data(), chunk.size()));

    // Complete messages do not count against the limit, only what follows the last one.
    MessageFramer busy(16);
    std::string burst = std::string(40, 'm') + "\r\n\r\n" + "tail";
    EXPECT_TRUE(busy.Append(burst.data(), burst.size()));
    std::string message;
    ASSERT_TRUE(busy.Next(message));
    EXPECT_EQ(message.size(), 40u);
}

TEST(MessageFramer, ClearDropsATail) {
    MessageFramer framer;
    Feed(framer, "half a mess");
    framer.Clear();
    EXPECT_EQ(Feed(framer, "age\r\n\r\n"), Messages{"age"});
}

}  // namespace
}  // namespace voxtrel
