// The navigator's pull operations, its finished state, files and the error sink.
#include "xml/xml_navigator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace voxtrel {
namespace {

CharBuffer Doc(const char* text) {
    CharBuffer buffer;
    buffer.Assign(text);
    return buffer;
}

class SinkRecorder : public XMLErrorSink {
  public:
    void Message(const char* text) override { messages.emplace_back(text); }
    std::vector<std::string> messages;
};

TEST(XMLNavigator, NextElementReadsStartsAndReportsEnds) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(
        Doc("<?xml version=\"1.0\"?>\n<methodResponse x='1'> <params/></methodResponse>")));
    XMLElement e;
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("methodResponse"));
    EXPECT_TRUE(e.isRoot);
    EXPECT_TRUE(e.attributes.Contains("x"));
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("params"));
    EXPECT_TRUE(e.isEmpty);
    EXPECT_EQ(nav.Depth(), 1);
    EXPECT_FALSE(nav.NextElement(e));  // the root's end tag
    EXPECT_EQ(nav.Depth(), 0);
    EXPECT_FALSE(nav.Parsing());
    EXPECT_FALSE(nav.NextElement(e));
    EXPECT_FALSE(nav.SkipElement());
    EXPECT_TRUE(e.name.Equals("params"));
}

TEST(XMLNavigator, OpenWhileOpenFailsAndOpenAfterFinishWorks) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<a><b/></a>")));
    EXPECT_FALSE(nav.Open(Doc("<c/>")));
    XMLElement e;
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("a"));
    EXPECT_TRUE(nav.SkipElement() == false);  // the root closes: the document is finished
    ASSERT_TRUE(nav.Open(Doc("<c/>")));
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("c"));
}

TEST(XMLNavigator, SkipElementReadsPastNestedChildren) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<r><a><b><c/></b><b>t</b></a><z/></r>")));
    XMLElement e;
    ASSERT_TRUE(nav.NextElement(e));
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("a"));
    EXPECT_TRUE(nav.SkipElement());
    EXPECT_TRUE(e.name.Equals("a"));  // passed-over elements are not delivered
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("z"));
}

TEST(XMLNavigator, SkipAfterEmptyElementClosesTheEnclosingOne) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<r><p><e/><x/></p><q/></r>")));
    XMLElement e;
    nav.NextElement(e);
    nav.NextElement(e);
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.isEmpty);
    EXPECT_TRUE(nav.SkipElement());  // reads on through </p>
    ASSERT_TRUE(nav.NextElement(e));
    EXPECT_TRUE(e.name.Equals("q"));
}

TEST(XMLNavigator, ReadTextIsRawAndLeavesBufferWhenATagFollows) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<r><s>  a &amp; b\r\n </s><t></t></r>")));
    XMLElement e;
    CharBuffer text;
    text.Assign("old");
    EXPECT_FALSE(nav.ReadText(text));  // before the root
    EXPECT_TRUE(text.Equals("old"));
    nav.NextElement(e);
    EXPECT_FALSE(nav.ReadText(text));
    nav.NextElement(e);
    ASSERT_TRUE(nav.ReadText(text));
    EXPECT_TRUE(text.Equals("  a &amp; b\r\n "));
    EXPECT_TRUE(nav.SkipElement());
    nav.NextElement(e);
    EXPECT_TRUE(e.name.Equals("t"));
    text.Assign("old");
    EXPECT_FALSE(nav.ReadText(text));
    EXPECT_TRUE(text.Equals("old"));
}

TEST(XMLNavigator, ExpectElementIgnoresLetterCaseOnly) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<methodResponse><PARAMS><Param/></PARAMS></methodResponse>")));
    EXPECT_TRUE(ExpectElement(nav, "methodresponse"));
    EXPECT_TRUE(ExpectElement(nav, "params"));
    EXPECT_FALSE(ExpectElement(nav, "parameter"));  // consumed <Param/>
    EXPECT_FALSE(ExpectElement(nav, "params"));     // consumed </PARAMS>
}

TEST(XMLNavigator, FatalErrorFinishesTheDocument) {
    XMLNavigator nav;
    ASSERT_TRUE(nav.Open(Doc("<r><a b=\"")));
    XMLElement e;
    EXPECT_TRUE(nav.NextElement(e));
    EXPECT_FALSE(nav.NextElement(e));
    EXPECT_FALSE(nav.Parsing());
    EXPECT_FALSE(nav.SkipElement());
}

TEST(XMLNavigator, SinkGetsTheTextsOfTheCodes) {
    XMLNavigator nav;
    SinkRecorder sink;
    nav.SetErrorSink(&sink);
    ASSERT_TRUE(nav.Open(Doc("<r><a></b><c x=\"<\"")));
    XMLElement e;
    while (nav.NextElement(e) || nav.Parsing()) {
    }
    EXPECT_EQ(sink.messages,
              (std::vector<std::string>{
                  "Expected end of tag '{0}'",
                  "A '<' character cannot be used in attribute '{0}', except through &lt;",
                  "Expected whitespace", "The end of input was not expected"}));
    nav.Error(17);
    nav.Error(0);
    nav.FatalError(3);
    EXPECT_EQ(sink.messages.size(), 4u);
}

TEST(XMLNavigator, DocumentBeyondTheBoundsEndsWithoutAnElement) {
    std::string deep;
    for (uint32_t i = 0; i <= XMLScanner::kMaxDepth; ++i)
        deep += "<e>";
    std::string wide = "<r";
    for (uint32_t i = 0; i <= XMLScanner::kMaxAttributes; ++i)
        wide += " a" + std::to_string(i) + "=''";
    wide += "/>";
    for (const std::string& text : {deep, wide}) {
        XMLNavigator nav;
        CharBuffer document;
        document.Append(text.data(), static_cast<uint32_t>(text.size()));
        ASSERT_TRUE(nav.Open(document));
        XMLElement e;
        uint32_t elements = 0;
        while (nav.NextElement(e))
            ++elements;
        EXPECT_FALSE(nav.Parsing());
        EXPECT_FALSE(nav.NextElement(e));
        EXPECT_EQ(elements, text == deep ? XMLScanner::kMaxDepth : 0u);
    }
}

TEST(XMLNavigator, CloseToComesOutOfBrokenElements) {
    struct Case {
        const char* text;
        uint32_t opened;  // NextElement calls before CloseTo(1)
        bool more;
        const char* next;  // the element that follows, or "" for none
    } cases[] = {
        {"<r><p><v><x><y>t</y></x></v></p><q/></r>", 4, true, "q"},
        // A wrong end tag pops one element only, so this one never comes back out.
        {"<r><p><v><x><y></v></p><q/></r>", 5, false, ""},
        {"<r><p><v><x><y></a></b></c></d><q/></r>", 5, true, "q"},
        {"<r><p>text</p><q/></r>", 2, true, "q"},
        {"<r><p><v><x><y>", 3, false, ""},
        {"<r><p/><q/></r>", 2, true, "q"},
    };
    for (const Case& c : cases) {
        XMLNavigator nav;
        CharBuffer document;
        document.Assign(c.text);
        ASSERT_TRUE(nav.Open(document));
        XMLElement e;
        for (uint32_t i = 0; i < c.opened; ++i)
            nav.NextElement(e);
        EXPECT_EQ(nav.CloseTo(1), c.more) << c.text;
        bool found = nav.NextElement(e);
        EXPECT_EQ(found ? std::string(e.name.CStr()) : std::string(), c.next) << c.text;
    }
}

TEST(XMLNavigator, ErrorTextTables) {
    EXPECT_STREQ(XMLErrorText(1), "Expected comment or CDATA");
    EXPECT_STREQ(XMLErrorText(12), "The attribute '{0}' is already used in element '{1}'");
    EXPECT_STREQ(XMLErrorText(16), "CDATA is not allowed outside the root element");
    EXPECT_EQ(XMLErrorText(17), nullptr);
    EXPECT_STREQ(XMLFatalText(2), "Unbalanced start/end tags found, cannot continue");
    EXPECT_EQ(XMLFatalText(0), nullptr);
}

TEST(XMLNavigator, OpenFile) {
    XMLNavigator nav;
    SinkRecorder sink;
    nav.SetErrorSink(&sink);
    EXPECT_FALSE(nav.OpenFile("/nonexistent/voxtrel.xml"));
    std::string path = ::testing::TempDir() + "voxtrel_nav_empty.xml";
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fclose(f);
    EXPECT_FALSE(nav.OpenFile(path.c_str()));
    EXPECT_EQ(sink.messages,
              (std::vector<std::string>{"Maybe file does not exist", "Something wrong"}));

    // Longer than one 255-byte block.
    std::string body = "<r>" + std::string(600, 'x') + "</r>";
    f = std::fopen(path.c_str(), "w");
    std::fputs(body.c_str(), f);
    std::fclose(f);
    ASSERT_TRUE(nav.OpenFile(path.c_str()));
    XMLElement e;
    ASSERT_TRUE(nav.NextElement(e));
    CharBuffer text;
    ASSERT_TRUE(nav.ReadText(text));
    EXPECT_EQ(text.Length(), 600u);
    std::remove(path.c_str());
}

TEST(EqualsIgnoreCase, AsciiOnly) {
    EXPECT_TRUE(EqualsIgnoreCase("dateTime.ISO8601", "datetime.iso8601"));
    EXPECT_FALSE(EqualsIgnoreCase("int", "i4"));
    EXPECT_FALSE(EqualsIgnoreCase("in", "int"));
    EXPECT_FALSE(EqualsIgnoreCase("\xC9", "\xE9"));  // not letters in ASCII
    CharBuffer name;
    name.Assign("StRuct");
    EXPECT_TRUE(EqualsIgnoreCase(name, "struct"));
    EXPECT_FALSE(EqualsIgnoreCase(name, "structs"));
    EXPECT_FALSE(EqualsIgnoreCase(name, "struc"));
}

}  // namespace
}  // namespace voxtrel
