// CharBuffer growth, termination, comparison and copying.
#include "xml/char_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace voxtrel {
namespace {

std::string Text(const CharBuffer& buffer) {
    return std::string(buffer.Data(), buffer.Length());
}

TEST(CharBuffer, AppendsAssignsAndComparesExactly) {
    CharBuffer buffer(4);
    buffer.Append("abc");
    buffer.Append('d');
    buffer.Append("efghij", 3);
    buffer.Append(nullptr);
    buffer.Append(std::string(100, 'x').c_str());  // past the inline room
    EXPECT_EQ(Text(buffer), "abcdefg" + std::string(100, 'x'));
    EXPECT_TRUE(buffer.Assign("Valuez", 5));
    EXPECT_STREQ(buffer.CStr(), "Value");
    EXPECT_TRUE(buffer.Equals("Value"));
    for (const char* other : {"value", "Valu", "Values", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(buffer.Equals(other)) << (other ? other : "null");
    buffer.Clear();
    EXPECT_TRUE(buffer.Equals(""));
}

TEST(CharBuffer, CopiesAndMovesAreIndependentAndKeepEmbeddedZeros) {
    for (const std::string& content : {std::string("a\0b", 3), std::string(300, 'h')}) {
        CharBuffer original;
        original.Append(content.data(), static_cast<uint32_t>(content.size()));
        CharBuffer copy(original);
        CharBuffer assigned(1);
        assigned = original;
        CharBuffer moveAssigned;
        moveAssigned = CharBuffer(original);
        CharBuffer moved(std::move(original));
        EXPECT_STREQ(original.CStr(), "");  // NOLINT(bugprone-use-after-move): the state is defined
        original.Append("again");
        EXPECT_TRUE(original.Equals("again"));
        for (const CharBuffer* b : {&copy, &assigned, &moveAssigned, &moved})
            EXPECT_EQ(Text(*b), content);
    }
}

}  // namespace
}  // namespace voxtrel
