// Tests of the conversions between automation strings and ANSI byte strings.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/bstr_text.h"

namespace voxtrel::com {
namespace {

TEST(BstrText, NothingEmbeddedZerosAndEveryByteOfTheCodePageRoundTrip) {
    EXPECT_EQ(NarrowText(nullptr), "");
    EXPECT_EQ(SysStringLen(Bstr(std::string{}).Get()), 0u);
    EXPECT_NE(Bstr(std::string{}).Get(), nullptr);
    const std::string zero("a\0b", 3);
    EXPECT_EQ(SysStringLen(Bstr(zero).Get()), 3u);
    for (int c = 1; c <= 0xFF; ++c) {
        const std::string text = zero + static_cast<char>(c);
        if (WideText(text).size() != 4) continue;  // undefined in this code page
        EXPECT_EQ(NarrowText(Bstr(text).Get()), text) << "byte " << c;
    }
}

}  // namespace
}  // namespace voxtrel::com
