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
// c CloseTo(1) (c or C), e the element last read, p Parsing (p1 or p0).
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
                       ? std::string(e.name.CStr()) + (e.isRoot ? "!" : "") + (e.isEmpty ? "/" : "")
                       : "-";
        } else if (op == 't') {
            read.Assign("old");
            log += nav.ReadText(read) ? "'" + std::string(read.CStr()) + "'" : "_";
            EXPECT_TRUE(log.back() != '_' || read.Equals("old")) << text;
        } else if (op == 's') {
            log += nav.SkipElement() ? "k" : "K";
        } else if (op == 'c') {
            log += nav.CloseTo(1) ? "c" : "C";
        } else if (op == 'e') {
            log += e.name.CStr();
        } else {
            log += nav.Parsing() ? "p1" : "p0";
        }
    }
    return log;
}

TEST(XMLNavigator, PullOperations) {
    const struct {
        const char* text;
        const char* ops;
        const char* log;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<methodResponse x='1'> <params/></methodResponse>", "pnnnnsep",
         "p1 methodResponse! params/ - - K params p0"},
        // Passed-over elements are not delivered.
        {"<r><a><b><c/></b><b>t</b></a><z/></r>", "nnsen", "r! a k a z/"},
        {"<r><p><e/><x/></p><q/></r>", "nnnsn", "r! p e/ k q/"},
        {"<r><s>  a &amp; b\r\n </s><t></t></r>", "tntntsntt",
         "_ r! _ s '  a &amp; b\r\n ' k t _ _"},
        {"<r><a b=\"", "nnsp", "r! - K p0"},
        {"<a><b/></a>", "nsnp", "a! K - p0"},
        // CloseTo comes out of broken elements, however far in.
        {"<r><p><v><x><y>t</y></x></v></p><q/></r>", "nnnncn", "r! p v x c q/"},
        {"<r><p><v><x><y></a></b></c></d><q/></r>", "nnnnncn", "r! p v x y c q/"},
        // A wrong end tag pops one element only, so this one never comes back out.
        {"<r><p><v><x><y></v></p><q/></r>", "nnnnncnp", "r! p v x y C - p0"},
        {"<r><p>text</p><q/></r>", "nncn", "r! p c q/"},
        {"<r><p/><q/></r>", "nncn", "r! p/ c q/"},
        {"<r><p><v>", "nnncnc", "r! p v C - C"},
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
    EXPECT_FALSE(ExpectElement(nav, "parameter"));  // consumed <Param/>
    EXPECT_FALSE(ExpectElement(nav, "params"));     // consumed </PARAMS>
    EXPECT_FALSE(EqualsIgnoreCase(nav.ScratchElement().name, "Para"));
    EXPECT_FALSE(EqualsIgnoreCase("\xC9", "\xE9"));  // not letters in ASCII
    EXPECT_FALSE(nav.SkipElement());
    ASSERT_TRUE(nav.Open(Doc("<c/>")));
    EXPECT_TRUE(ExpectElement(nav, "C"));
}

TEST(XMLNavigator, ResultOutlivesTheDocumentAndBoundsEndIt) {
    std::string deep;
    for (uint32_t i = 0; i <= XMLScanner::kMaxDepth; ++i)
        deep += "<e>";
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc(deep)));
    uint32_t elements = 0;
    while (nav.NextElement(nav.ScratchElement()))
        ++elements;
    EXPECT_EQ(elements, XMLScanner::kMaxDepth);
    EXPECT_FALSE(nav.Parsing());
    EXPECT_TRUE(nav.LimitExceeded());
    EXPECT_EQ(nav.Result().offset, deep.size());

    // A recoverable problem stays until a reader's own bound replaces it; Open clears both.
    ASSERT_TRUE(nav.Open(Doc("<r><!x><a/></r>")));
    EXPECT_FALSE(nav.LimitExceeded());
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
}

}  // namespace
}  // namespace voxtrel
