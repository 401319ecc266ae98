// Tests of the conversions between automation strings and ANSI byte strings.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/bstr_text.h"

namespace voxtrel::com {
namespace {

TEST(BstrText, MissingAndEmptyTextsAreEmpty) {
    EXPECT_EQ(NarrowText(nullptr), "");
    Bstr empty(L"");
    EXPECT_EQ(NarrowText(empty.Get()), "");
    Bstr made(std::string{});
    ASSERT_NE(made.Get(), nullptr);
    EXPECT_EQ(SysStringLen(made.Get()), 0u);
}

TEST(BstrText, AsciiAndEmbeddedZerosRoundTrip) {
    std::string text;
    for (int c = 1; c < 0x80; ++c)
        text += static_cast<char>(c);
    text += '\0';
    text += "after";
    Bstr wide(text);
    EXPECT_EQ(SysStringLen(wide.Get()), text.size());
    EXPECT_EQ(NarrowText(wide.Get()), text);
}

TEST(BstrText, EveryByteThatTheCodePageMapsComesBackUnchanged) {
    for (int c = 0x80; c <= 0xFF; ++c) {
        std::string byte(1, static_cast<char>(c));
        std::wstring wide = WideText(byte);
        if (wide.empty()) continue;  // undefined in this code page
        Bstr b(byte);
        EXPECT_EQ(NarrowText(b.Get()), byte) << "byte " << c;
    }
}

TEST(BstrText, CharactersOutsideTheCodePageBecomeItsDefaultCharacter) {
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
    if (info.MaxCharSize != 1) GTEST_SKIP() << "a multi-byte ANSI code page";
    // U+4E2D has no form in a single-byte code page.
    Bstr wide(L"a\u4e2dz");
    std::string narrow = NarrowText(wide.Get());
    ASSERT_EQ(narrow.size(), 3u);
    EXPECT_EQ(narrow[0], 'a');
    EXPECT_EQ(narrow[2], 'z');
}

}  // namespace
}  // namespace voxtrel::com
