// The scanner's tags, recovery, bounds and parse result, as one log per document.
#include "xml/xml_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace voxtrel {
namespace {

using S = XmlStatus;

// Logs "name" plus "!" for a root, "/" for an empty-element tag and "[a=1,b=2]" for attributes
// at a start tag, and "/name" at an end tag, separated by spaces.
class Recorder : public XMLDocHandler {
  public:
    void StartElement(const XMLElement& e) override {
        Add(std::string(e.name));
        if (e.isRoot) log += '!';
        if (e.isEmpty) log += '/';
        for (uint32_t i = 0; i < e.attributes.Count(); ++i) {
            log += i == 0 ? '[' : ',';
            log +=
                e.attributes.At(i).name.CStr() + std::string("=") + e.attributes.At(i).value.CStr();
            if (i + 1 == e.attributes.Count()) log += ']';
        }
    }
    void EndElement(const XMLElement& e) override { Add("/" + std::string(e.name)); }
    void Add(const std::string& item) { log += (log.empty() ? "" : " ") + item; }
    std::string log;
};

std::pair<std::string, XmlParseResult> Scan(const std::string& text) {
    Recorder recorder;
    XMLScanner scanner(recorder);
    CharBuffer document;
    document.Append(text.data(), static_cast<uint32_t>(text.size()));
    scanner.Begin(document);
    for (int steps = 0; scanner.Step(); ++steps) {
        if (steps > 1 << 20) ADD_FAILURE() << "the scanner does not finish";
    }
    scanner.End();
    return {recorder.log, scanner.Result()};
}

std::string Repeat(const std::string& piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

TEST(XMLScanner, DocumentsLogAndResult) {
    const uint32_t depth = XMLScanner::kMaxDepth;
    const std::string deep = "e!" + Repeat(" e", depth - 1);
    std::string attributes;
    std::string attributeLog;
    for (uint32_t i = 0; i < XMLScanner::kMaxAttributes; ++i) {
        attributes += " a" + std::to_string(i) + "=''";
        attributeLog += (i == 0 ? "[a" : ",a") + std::to_string(i) + "=";
    }
    const struct {
        std::string text;
        std::string log;
        S status;
        size_t offset;
    } cases[] = {
        // Prolog, markup that is skipped, and everything after the root is ignored.
        {"<?xml version=\"1.0\"?>\r\n<r>x</r>trailing<s/>", "r! /r", S::kOk, 0},
        {"<!DOCTYPE r [ <!ELEMENT r ANY> ]>\n<r/>", "r!/", S::kOk, 0},
        {"<!DOCTYPE r SYSTEM \"r.dtd\"><!-- c --><?pi x?>\t<r/><s/>", "r!/", S::kOk, 0},
        {"<r><a><b/></a>\n<![CDATA[<x>]]>a<!-- <y> -->b<?p <z>?></r >", "r! a b/ /a /r", S::kOk, 0},
        {"<r-1.x_y><A></A></r-1.x_y>", "r-1.x_y! A /A /r-1.x_y", S::kOk, 0},
        // Attribute values keep the other quote and entities raw; white space becomes a space.
        {"<r a='x\"y' b=\"1\t2\n3\r\n4\v5\"/>", "r!/[a=x\"y,b=1 2 3 4 5]", S::kOk, 0},
        {"<r a = \"&amp;\"  >t</r>", "r![a=&amp;] /r", S::kOk, 0},
        // Recoverable problems: the first one is the result.
        {"", "", S::kEmptyDocument, 0},
        {"  \r\n", "", S::kEmptyDocument, 4},
        {"junk<r/>", "", S::kInvalidDocumentStructure, 0},
        {"junk>\n<r/>", "r!/", S::kInvalidDocumentStructure, 0},
        {"<r><a>", "r! a", S::kInputEndedInElement, 6},
        {std::string("<r>a\0b</r>", 10), "r!", S::kInputEndedInElement, 4},
        {"<r><!x>t</r>", "r! /r", S::kExpectedCommentOrCdata, 5},
        {"<![CDATA[x]]><r/>", "r!/", S::kCdataOutsideRoot, 9},
        {"<r>< e/>x</r>", "r! /r", S::kExpectedElementName, 4},
        {"<r><e<f/></e></r>", "r! e f/ /e /r", S::kUnterminatedStartTag, 5},
        {"<r><e/ ></r>", "r! e/ /r", S::kUnterminatedStartTag, 6},
        {"<r ab=\"1\"a=\"2\"/>", "r!/[ab=1,a=2]", S::kExpectedWhitespace, 9},
        {"<r a=\"x<y\"/>", "r!/[a=x<y]", S::kLessThanInAttribute, 7},
        // The repeated name is not stored; the '=' after it then drops the tag.
        {"<r><e a=\"1\" a=\"2\"/></r>", "r! /r", S::kAttributeRepeated, 13},
        {"<r><e a=1/></r>", "r! /r", S::kExpectedAttributeValue, 8},
        {"<r><e =\"1\"/></r>", "r! /r", S::kExpectedAttributeName, 6},
        // A wrong end tag still closes the open element, without an end event.
        {"<r><a></b></r>", "r! a /r", S::kExpectedEndOfTag, 8},
        {"<r></R", "r!", S::kExpectedEndOfTag, 5},
        {"<r><a></ab></r", "r! a /a /r", S::kUnterminatedEndTag, 9},
        // Fatal problems end the reading and replace a recoverable one.
        {"<r><e a \"1\">t</e></r>", "r!", S::kUnbalancedTags, 21},
        {"</r><r/>", "", S::kUnbalancedTags, 4},
        {"<r><!x><e a=\"1", "r!", S::kUnexpectedEnd, 14},
        {"<r><e", "r!", S::kUnexpectedEnd, 5},
        // The bounds: a megabyte of start tags holds no more elements than the others.
        {Repeat("<e>", depth), deep, S::kInputEndedInElement, 3 * depth},
        {Repeat("<e>", depth) + "<leaf/>" + Repeat("</e>", depth),
         deep + " leaf/" + Repeat(" /e", depth), S::kOk, 0},
        {Repeat("<e>", depth + 1) + Repeat("</e>", depth + 1), deep, S::kLimitExceeded,
         3 * depth + 3},
        {Repeat("<e>", 1 << 18), deep, S::kLimitExceeded, 3 * depth + 3},
        {"<r" + attributes + "/>", "r!/" + attributeLog + "]", S::kOk, 0},
        {"<r" + attributes + " b=''/>", "", S::kLimitExceeded, attributes.size() + 3},
    };
    for (const auto& c : cases) {
        auto [log, result] = Scan(c.text);
        EXPECT_EQ(log, c.log) << c.text.substr(0, 80);
        EXPECT_EQ(result.status, c.status) << c.text.substr(0, 80);
        EXPECT_EQ(result.offset, c.offset) << c.text.substr(0, 80);
        EXPECT_EQ(static_cast<bool>(result), c.status == S::kOk) << c.text.substr(0, 80);
    }
}

}  // namespace
}  // namespace voxtrel
