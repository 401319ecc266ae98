// The scanner's notifications, recovery and error codes, as one event log per document.
#include "xml/xml_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace voxtrel {
namespace {

// Logs every callback as a short line, for example "S a root empty x=1", "C text", "E a",
// "error 9", "fatal 1".
class Recorder : public XMLDocHandler, public XMLErrHandler {
  public:
    void Characters(const CharBuffer& text, bool) override {
        std::string line = "C ";
        line.append(text.Data(), text.Length());
        log.push_back(line);
    }
    void Unused(const CharBuffer&) override { log.push_back("unused"); }
    void StartDocument() override { log.push_back("start"); }
    void EndDocument() override { log.push_back("end"); }
    void StartElement(const XMLElement& e) override {
        std::string line = "S ";
        line += e.name.CStr();
        if (e.isRoot) line += " root";
        if (e.isEmpty) line += " empty";
        for (uint32_t i = 0; i < e.attributes.Count(); ++i) {
            line += ' ';
            line += e.attributes.At(i).name.CStr();
            line += '=';
            line += e.attributes.At(i).value.CStr();
        }
        log.push_back(line);
    }
    void EndElement(const XMLElement& e) override {
        std::string line = "E ";
        log.push_back(line + e.name.CStr());
    }
    void ResetDocument() override { log.push_back("reset"); }
    void FatalError(int32_t code) override { log.push_back("fatal " + std::to_string(code)); }
    void Error(int32_t code) override { log.push_back("error " + std::to_string(code)); }

    std::vector<std::string> log;
};

// Runs a whole document through Begin, Step until false, End; the log omits reset/start/end.
std::vector<std::string> Scan(const std::string& text, int* steps = nullptr) {
    Recorder recorder;
    XMLScanner scanner(&recorder, &recorder);
    CharBuffer document;
    document.Append(text.data(), static_cast<uint32_t>(text.size()));
    scanner.Begin(document);
    int count = 0;
    while (scanner.Step()) {
        if (++count > 10000) ADD_FAILURE() << "scanner does not finish";
    }
    scanner.End();
    if (steps) *steps = count;
    std::vector<std::string> events;
    for (const std::string& line : recorder.log) {
        if (line != "reset" && line != "start" && line != "end") events.push_back(line);
    }
    return events;
}

using Log = std::vector<std::string>;

TEST(XMLScanner, BeginResetsThenStartsAndEndFinishes) {
    Recorder recorder;
    XMLScanner scanner(&recorder, &recorder);
    CharBuffer document;
    document.Assign("<a/>");
    scanner.Begin(document);
    EXPECT_FALSE(scanner.Step());
    EXPECT_FALSE(scanner.Step());
    scanner.End();
    EXPECT_EQ(recorder.log, (Log{"reset", "start", "S a root empty", "end"}));
}

TEST(XMLScanner, DocumentStructure) {
    EXPECT_EQ(Scan("<?xml version=\"1.0\"?>\r\n<r>x</r>"), (Log{"S r root", "C x", "E r"}));
    EXPECT_EQ(Scan("<r>x</r>trailing<s/>"), (Log{"S r root", "C x", "E r"}));
    EXPECT_EQ(Scan("<!DOCTYPE r [ <!ELEMENT r ANY> ]>\n<r/>"), (Log{"S r root empty"}));
    EXPECT_EQ(Scan("<!DOCTYPE r SYSTEM \"r.dtd\"><r/>"), (Log{"S r root empty"}));
    EXPECT_EQ(Scan("<!-- c --><?pi x?>\t<r/>"), (Log{"S r root empty"}));
    EXPECT_EQ(Scan("<r><a><b/></a>\n</r>"),
              (Log{"S r root", "S a", "S b empty", "E a", "C \n", "E r"}));
}

TEST(XMLScanner, TextIsRawAndUntrimmed) {
    EXPECT_EQ(Scan("<r> a &lt; b\r\n </r>"), (Log{"S r root", "C  a &lt; b\r\n ", "E r"}));
    EXPECT_EQ(Scan("<r><![CDATA[<x>]]></r>"), (Log{"S r root", "E r"}));
    EXPECT_EQ(Scan("<r>a<!-- x -->b<?p?>c</r>"), (Log{"S r root", "C a", "C b", "C c", "E r"}));
}

TEST(XMLScanner, AttributesKeepQuotesApartAndNormaliseWhiteSpace) {
    EXPECT_EQ(Scan("<r a='x\"y' b=\"1\t2\n3\r\n4\"/>"), (Log{"S r root empty a=x\"y b=1 2 3 4"}));
    EXPECT_EQ(Scan("<r a = \"1\"  >t</r>"), (Log{"S r root a=1", "C t", "E r"}));
    EXPECT_EQ(Scan("<r a=\"&amp;\"/>"), (Log{"S r root empty a=&amp;"}));
}

TEST(XMLScanner, AttributeErrorsRecoverOrDropTheTag) {
    // Missing white space between attributes: reported, both kept.
    EXPECT_EQ(Scan("<r a=\"1\"b=\"2\"/>"), (Log{"error 10", "S r root empty a=1 b=2"}));
    // '<' inside a value: reported, kept.
    EXPECT_EQ(Scan("<r a=\"x<y\"/>"), (Log{"error 13", "S r root empty a=x<y"}));
    // A repeated name is not read; the '=' that follows then stops the tag.
    EXPECT_EQ(Scan("<r><e a=\"1\" a=\"2\"/></r>"),
              (Log{"S r root", "error 12", "error 10", "error 2", "E r"}));
    EXPECT_EQ(Scan("<r><e a \"1\">t</e></r>"),
              (Log{"S r root", "error 3", "C t", "error 9", "error 11", "fatal 2"}));
    EXPECT_EQ(Scan("<r><e a=1/></r>"), (Log{"S r root", "error 7", "E r"}));
    EXPECT_EQ(Scan("<r><e =\"1\"/></r>"), (Log{"S r root", "error 2", "E r"}));
}

TEST(XMLScanner, StartTagErrors) {
    EXPECT_EQ(Scan("<r>< e/>x</r>"), (Log{"S r root", "error 4", "E r"}));
    // A start tag cut short by '<' is delivered as it stands.
    EXPECT_EQ(Scan("<r><e<f/></e></r>"),
              (Log{"S r root", "error 6", "S e", "S f empty", "E e", "E r"}));
    EXPECT_EQ(Scan("<r><e/ ></r>"), (Log{"S r root", "error 6", "S e empty", "C  >", "E r"}));
}

TEST(XMLScanner, EndTagErrors) {
    EXPECT_EQ(Scan("<r><a></b></r>"), (Log{"S r root", "S a", "error 9", "E r"}));
    // An end tag for "ab" while "a" is open closes "a"; the rest reads as text.
    EXPECT_EQ(Scan("<r><a></ab></r>"), (Log{"S r root", "S a", "error 8", "E a", "C b>", "E r"}));
    EXPECT_EQ(Scan("<r></r >"), (Log{"S r root", "E r"}));
    // End tag names are compared exactly.
    EXPECT_EQ(Scan("<r></R>"), (Log{"S r root", "error 9"}));
}

TEST(XMLScanner, MarkupErrors) {
    EXPECT_EQ(Scan("<r><!x>t</r>"), (Log{"S r root", "error 1", "E r"}));
    EXPECT_EQ(Scan("<![CDATA[x]]><r/>"), (Log{"error 16", "S r root empty"}));
    EXPECT_EQ(Scan("junk<r/>"), (Log{"error 5", "error 5", "error 15"}));
    EXPECT_EQ(Scan("junk>\n<r/>"), (Log{"error 5", "S r root empty"}));
    EXPECT_EQ(Scan(""), (Log{"error 5", "error 15"}));
    EXPECT_EQ(Scan("  \r\n"), (Log{"error 5", "error 15"}));
    EXPECT_EQ(Scan("<r><a>"), (Log{"S r root", "S a", "error 14"}));
}

TEST(XMLScanner, FatalErrorsEndTheParse) {
    EXPECT_EQ(Scan("<r><e a=\"1"), (Log{"S r root", "fatal 1"}));
    EXPECT_EQ(Scan("<r><e"), (Log{"S r root", "fatal 1"}));
    EXPECT_EQ(Scan("<r><e "), (Log{"S r root", "fatal 1"}));
    EXPECT_EQ(Scan("</r><r/>"), (Log{"error 11", "fatal 2"}));
}

TEST(XMLScanner, DocumentEndsAtFirstZeroByte) {
    EXPECT_EQ(Scan(std::string("<r>a\0b</r>", 10)), (Log{"S r root", "C a", "error 14"}));
}

TEST(XMLScanner, ScanTextReadsUpToNextTagOnly) {
    Recorder recorder;
    XMLScanner scanner(&recorder, &recorder);
    CharBuffer document;
    document.Assign("<r> x <a/></r>");
    scanner.Begin(document);
    CharBuffer text;
    text.Assign("keep");
    EXPECT_FALSE(scanner.ScanText(text));
    EXPECT_TRUE(text.Equals("keep"));
    EXPECT_TRUE(scanner.Step());
    EXPECT_TRUE(scanner.ScanText(text));
    EXPECT_TRUE(text.Equals(" x "));
    EXPECT_FALSE(scanner.ScanText(text));
    scanner.End();
    EXPECT_FALSE(scanner.ScanText(text));
}

TEST(XMLScanner, ReusedAcrossDocumentsAndDeepNesting) {
    Recorder recorder;
    XMLScanner scanner(&recorder, &recorder);
    std::string deep;
    for (uint32_t i = 0; i < XMLScanner::kMaxDepth; ++i)
        deep += "<e>";
    CharBuffer document;
    document.Assign(deep.c_str());
    scanner.Begin(document);
    while (scanner.Step()) {
    }
    EXPECT_EQ(scanner.Depth(), XMLScanner::kMaxDepth);
    EXPECT_EQ(recorder.log.back(), "error 14");
    scanner.End();
    document.Assign("<r/>");
    recorder.log.clear();
    scanner.Begin(document);
    EXPECT_EQ(scanner.Depth(), 0u);
    EXPECT_FALSE(scanner.Step());
    EXPECT_EQ(recorder.log.back(), "S r root empty");
}

std::string Repeat(const std::string& piece, size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

// The last line of a scan's log and the number of start tags delivered.
struct Outcome {
    std::string last;
    size_t starts;
};

Outcome ScanOutcome(const std::string& text) {
    Log log = Scan(text);
    size_t starts = 0;
    for (const std::string& line : log)
        starts += line.compare(0, 2, "S ") == 0;
    return {log.empty() ? "" : log.back(), starts};
}

TEST(XMLScanner, NestingBeyondTheBoundEndsTheParse) {
    const uint32_t max = XMLScanner::kMaxDepth;
    struct Case {
        std::string text;
        std::string last;
        size_t starts;
    } cases[] = {
        {Repeat("<e>", max), "error 14", max},
        {Repeat("<e>", max) + "<leaf/>", "error 14", max + 1},
        {Repeat("<e>", max) + Repeat("</e>", max), "E e", max},
        {Repeat("<e>", max + 1), "fatal 3", max},
        {Repeat("<e>", max + 1) + Repeat("</e>", max + 1), "fatal 3", max},
        {Repeat("<e>", 1 << 18), "fatal 3", max},
    };
    for (const Case& c : cases) {
        Outcome outcome = ScanOutcome(c.text);
        EXPECT_EQ(outcome.last, c.last) << c.text.size();
        EXPECT_EQ(outcome.starts, c.starts) << c.text.size();
    }
}

TEST(XMLScanner, ElementStackStaysBoundedOnAMegabyteOfStartTags) {
    XMLScanner scanner(nullptr, nullptr);
    CharBuffer document;
    std::string text = Repeat("<a>", (1 << 20) / 3);
    document.Append(text.data(), static_cast<uint32_t>(text.size()));
    scanner.Begin(document);
    uint32_t deepest = 0;
    while (scanner.Step())
        deepest = std::max(deepest, scanner.Depth());
    scanner.End();
    EXPECT_EQ(deepest, XMLScanner::kMaxDepth);
}

std::string TagWithAttributes(size_t count) {
    std::string text = "<r";
    for (size_t i = 0; i < count; ++i)
        text += " a" + std::to_string(i) + "='v'";
    return text + "/>";
}

TEST(XMLScanner, AttributesBeyondTheBoundEndTheParse) {
    const uint32_t max = XMLScanner::kMaxAttributes;
    Outcome atBound = ScanOutcome(TagWithAttributes(max));
    EXPECT_EQ(atBound.starts, 1u);
    EXPECT_EQ(atBound.last.substr(0, 13), "S r root empt");
    for (size_t count : {size_t{max} + 1, size_t{40000}}) {
        Outcome outcome = ScanOutcome(TagWithAttributes(count));
        EXPECT_EQ(outcome.last, "fatal 3") << count;
        EXPECT_EQ(outcome.starts, 0u) << count;
    }
}

TEST(XMLScanner, WorksWithoutHandlers) {
    XMLScanner scanner(nullptr, nullptr);
    CharBuffer document;
    document.Assign("<r a='1' a='2'><x></y></r");
    scanner.Begin(document);
    int steps = 0;
    while (scanner.Step() && ++steps < 100) {
    }
    scanner.End();
    EXPECT_LT(steps, 100);
}

}  // namespace
}  // namespace voxtrel
