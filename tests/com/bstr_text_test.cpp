// Tests of the conversions between automation strings and ANSI byte strings.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/bstr_text.h"

namespace voxtrel::com {
namespace {

TEST(BstrText, NothingEmbeddedZerosAndEveryByteOfTheCodePageRoundTrip) {
    EXPECT_EQ(NarrowText(nullptr), "");
    Bstr made(std::string{});
    ASSERT_NE(made.Get(), nullptr);
    EXPECT_EQ(SysStringLen(made.Get()), 0u);
    std::string text;
    for (int c = 1; c < 0x80; ++c)
        text += static_cast<char>(c);
    text += std::string("\0after", 6);
    Bstr wide(text);
    EXPECT_EQ(SysStringLen(wide.Get()), text.size());
    EXPECT_EQ(NarrowText(wide.Get()), text);
    for (int c = 0x80; c <= 0xFF; ++c) {
        std::string byte(1, static_cast<char>(c));
        if (WideText(byte).empty()) continue;  // undefined in this code page
        EXPECT_EQ(NarrowText(Bstr(byte).Get()), byte) << "byte " << c;
    }
}

TEST(BstrText, CharactersOutsideTheCodePageBecomeItsDefaultCharacter) {
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
    if (info.MaxCharSize != 1) GTEST_SKIP() << "a multi-byte ANSI code page";
    // U+4E2D has no form in a single-byte code page.
    const std::string narrow = NarrowText(Bstr(L"a\u4e2dz").Get());
    ASSERT_EQ(narrow.size(), 3u);
    EXPECT_EQ(narrow[0], 'a');
    EXPECT_EQ(narrow[2], 'z');
}

}  // namespace
}  // namespace voxtrel::com
