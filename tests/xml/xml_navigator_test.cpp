// The navigator's pull operations, its finished state and its parse result.
#include "xml/xml_navigator.h"

#include <gtest/gtest.h>

#include <string>

namespace voxtrel {
namespace {

CharBuffer Doc(const std::string& text) {
    CharBuffer buffer;
    buffer.Append(text.data(), static_cast<uint32_t>(text.size()));
    return buffer;
}

// Runs ops on a fresh navigator and logs each one's outcome: n NextElement (the name, "!" for a
// root, "/" for an empty element, or "-"), t ReadText ('text' or _), s SkipElement (k or K),
// c CloseTo(1) (c or C), e the element last read; then p1 or p0 for Parsing.
std::string Walk(const std::string& text, const std::string& ops) {
    XMLNavigator nav;
    EXPECT_TRUE(nav.Open(Doc(text)));
    XMLElement e;
    CharBuffer read;
    std::string log;
    for (char op : ops) {
        log += log.empty() ? "" : " ";
        if (op == 'n') {
            log += nav.NextElement(e)
                       ? std::string(e.name) + (e.isRoot ? "!" : "") + (e.isEmpty ? "/" : "")
                       : "-";
        } else if (op == 't') {
            read.Assign("old");
            log += nav.ReadText(read) ? "'" + std::string(read.CStr()) + "'" : "_";
            EXPECT_TRUE(log.back() != '_' || read.Equals("old")) << text;
        } else if (op == 's') {
            log += nav.SkipElement() ? "k" : "K";
        } else if (op == 'c') {
            log += nav.CloseTo(1) ? "c" : "C";
        } else {
            log += e.name;
        }
    }
    return log + (nav.Parsing() ? " p1" : " p0");
}

TEST(XMLNavigator, PullOperations) {
    const struct {
        const char* text;
        const char* ops;
        const char* log;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<methodResponse x='1'> <params/></methodResponse>", "nnnnse",
         "methodResponse! params/ - - K params p0"},
        // Passed-over elements are not delivered.
        {"<r><a><b><c/></b><b>t</b></a><z/></r>", "nnsen", "r! a k a z/ p1"},
        {"<r><p><e/><x/></p><q/></r>", "nnnsn", "r! p e/ k q/ p1"},
        {"<r><s>  a &amp; b\r\n </s><t></t></r>", "tntntsnttnnt",
         "_ r! _ s '  a &amp; b\r\n ' k t _ _ - - _ p0"},
        {"<r><a b=\"", "nns", "r! - K p0"},
        // CloseTo comes out of broken elements, however far in.
        {"<r><p><v><x><y>t</y></x></v></p><q/></r>", "nnnncn", "r! p v x c q/ p1"},
        {"<r><p><v><x><y></a></b></c></d><q/></r>", "nnnnncn", "r! p v x y c q/ p1"},
        // A wrong end tag pops one element only, so this one never comes back out.
        {"<r><p><v><x><y></v></p><q/></r>", "nnnnncn", "r! p v x y C - p0"},
        {"<r><p>text</p><q/></r>", "nncn", "r! p c q/ p1"},
        {"<r><p/><q/></r>", "nncn", "r! p/ c q/ p1"},
        {"<r><p><v>", "nnncnc", "r! p v C - C p0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Walk(c.text, c.ops), c.log) << c.text;
}

TEST(XMLNavigator, OpenOnlyWhenFinishedAndExpectElementIgnoresLetterCaseOnly) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<methodResponse><PARAMS><Param/></PARAMS></methodResponse>")));
    EXPECT_FALSE(nav.Open(Doc("<c/>")));
    EXPECT_TRUE(ExpectElement(nav, "methodresponse"));
    EXPECT_TRUE(ExpectElement(nav, "params"));
    EXPECT_EQ(nav.OpenElements(), 2u);
    EXPECT_FALSE(ExpectElement(nav, "parameter"));   // consumed <Param/>
    EXPECT_FALSE(ExpectElement(nav, "params"));      // consumed </PARAMS>
    EXPECT_FALSE(EqualsIgnoreCase("\xC9", "\xE9"));  // not letters in ASCII
    EXPECT_FALSE(nav.SkipElement());
    ASSERT_TRUE(nav.Open(Doc("<z/>")));
    EXPECT_TRUE(ExpectElement(nav, "Z"));
}

TEST(XMLNavigator, ResultOutlivesTheDocumentAndBoundsEndIt) {
    std::string deep;
    for (uint32_t i = 0; i <= XMLScanner::kMaxDepth; ++i)
        deep += "<e>";
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc(deep)));
    while (nav.NextElement(nav.ScratchElement())) {
    }
    EXPECT_TRUE(nav.LimitExceeded());
    EXPECT_EQ(nav.Result().offset, deep.size());
    EXPECT_STREQ(nav.Result().Description(), "Nesting or attributes beyond the reader's bounds");

    // A recoverable problem stays until a reader's own bound replaces it; Open clears both.
    ASSERT_TRUE(nav.Open(Doc("<r><!x><a/></r>")));
    EXPECT_TRUE(ExpectElement(nav, "r"));
    EXPECT_TRUE(ExpectElement(nav, "a"));
    EXPECT_EQ(nav.Result().status, XmlStatus::kExpectedCommentOrCdata);
    nav.SetLimitExceeded();
    EXPECT_TRUE(nav.LimitExceeded());
    EXPECT_EQ(nav.Result().offset, 11u);
    EXPECT_FALSE(nav.CloseTo(0));
    ASSERT_TRUE(nav.Open(Doc("<r/>")));
    EXPECT_TRUE(ExpectElement(nav, "r"));
    EXPECT_TRUE(nav.Result());
    EXPECT_STREQ(nav.Result().Description(), "No error");
    EXPECT_STREQ(XmlParseResult{XmlStatus(20)}.Description(), "Unknown status");
}

}  // namespace
}  // namespace voxtrel
