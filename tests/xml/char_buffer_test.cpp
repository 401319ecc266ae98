// CharBuffer growth, termination and copying.
#include "xml/char_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace voxtrel {
namespace {

TEST(CharBuffer, GrowsToTwiceTheNeededLengthAndKeepsContent) {
    CharBuffer buffer(4);
    buffer.Append("abc");
    EXPECT_EQ(buffer.Capacity(), 4u);
    buffer.Append('d');  // 3 + 1 reaches the capacity: grows to 2 * 4
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_STREQ(buffer.CStr(), "abcd");
    buffer.Append("efghij", 3);
    EXPECT_STREQ(buffer.CStr(), "abcdefg");
    EXPECT_EQ(buffer.Length(), 7u);
}

TEST(CharBuffer, CountZeroMeansWholeCString) {
    CharBuffer buffer;
    buffer.Assign("hello");
    EXPECT_TRUE(buffer.Equals("hello"));
    buffer.Assign("xy", 1);
    EXPECT_TRUE(buffer.Equals("x"));
    buffer.Append(nullptr);
    EXPECT_TRUE(buffer.Equals("x"));
}

TEST(CharBuffer, EqualsIsExactAndRejectsNull) {
    CharBuffer buffer;
    buffer.Assign("Value");
    EXPECT_TRUE(buffer.Equals("Value"));
    EXPECT_FALSE(buffer.Equals("value"));
    EXPECT_FALSE(buffer.Equals("Valu"));
    EXPECT_FALSE(buffer.Equals("Values"));
    EXPECT_FALSE(buffer.Equals(nullptr));
    buffer.Clear();
    EXPECT_TRUE(buffer.Equals(""));
    EXPECT_EQ(buffer.CStr()[0], 0);
}

TEST(CharBuffer, CopiesAreIndependentAndKeepEmbeddedZeros) {
    CharBuffer original;
    original.Append("a\0b", 3);
    CharBuffer copy(original);
    CharBuffer assigned(1);
    assigned = original;
    original.Assign("changed");
    EXPECT_EQ(std::string(copy.Data(), copy.Length()), std::string("a\0b", 3));
    EXPECT_EQ(std::string(assigned.Data(), assigned.Length()), std::string("a\0b", 3));
    CharBuffer empty;
    assigned = empty;
    EXPECT_EQ(assigned.Length(), 0u);
    EXPECT_STREQ(assigned.CStr(), "");
}

TEST(CharBuffer, MovedFromBufferIsEmptyAndUsable) {
    CharBuffer source;
    source.Assign("text");
    CharBuffer target(std::move(source));
    EXPECT_TRUE(target.Equals("text"));
    EXPECT_STREQ(source.CStr(), "");  // NOLINT(bugprone-use-after-move): the state is defined
    source.Append("again");
    EXPECT_TRUE(source.Equals("again"));
}

}  // namespace
}  // namespace voxtrel
