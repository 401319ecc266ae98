// The XML tokenizer: prolog, tags, attributes, character data and the recovery rules.
#include "xml/xml_scanner.h"

#include <iterator>

namespace voxtrel {

namespace {

const char* const kDescriptions[] = {
    "No error",
    "Expected comment or CDATA",
    "Expected an attribute name",
    "Expected equal sign",
    "Expected an element name",
    "Invalid document structure",
    "Unterminated start tag",
    "Expected an attribute value",
    "Unterminated end tag",
    "Expected end of tag",
    "Expected whitespace",
    "There are more end tags than start tags",
    "An attribute is used twice in one element",
    "A '<' character cannot be used in an attribute value, except through &lt;",
    "The input ended before all started tags were ended",
    "The main XML document cannot be empty",
    "CDATA is not allowed outside the root element",
    "The end of input was not expected",
    "Unbalanced start/end tags found, cannot continue",
    "Nesting or attributes beyond the reader's bounds",
};

bool IsFatal(XmlStatus status) {
    return status >= XmlStatus::kUnexpectedEnd;
}

}  // namespace

const char* XmlParseResult::Description() const {
    auto index = static_cast<uint32_t>(status);
    return index < std::size(kDescriptions) ? kDescriptions[index] : "Unknown status";
}

void XMLScanner::Report(XmlStatus status) {
    if (result_.Fatal() || (result_.status != XmlStatus::kOk && !IsFatal(status))) return;
    result_ = XmlParseResult{status, input_.Position()};
}

void XMLScanner::Fail(XmlStatus status) {
    Report(status);
    finished_ = true;
}

void XMLScanner::Begin(const CharBuffer& document) {
    input_.LoadCopy(document);
    Start();
}

void XMLScanner::Begin(std::string_view text) {
    input_.Load(text);
    Start();
}

void XMLScanner::Start() {
    stack_.Reset();
    result_ = XmlParseResult{};
    finished_ = false;
    SkipProlog();
    if (input_.AtEnd()) Report(XmlStatus::kEmptyDocument);
}

void XMLScanner::SkipProlog() {
    for (;;) {
        char c = input_.Peek();
        if (c == '<') {
            if (input_.Accept("<?xml")) {
                input_.SkipThrough('>');
            } else if (input_.Accept("<?")) {
                input_.SkipPast("?>");
            } else if (input_.Accept("<!--")) {
                input_.SkipPast("-->");
            } else if (input_.Accept("<!DOCTYPE")) {
                if (input_.SkipToAnyOf("[>") == '[') input_.SkipThrough(']');
                input_.SkipThrough('>');
            } else {
                return;
            }
        } else if (IsXmlSpace(static_cast<unsigned char>(c))) {
            input_.SkipWhiteSpace();
        } else {
            // The end of input reads as a zero byte: that is no stray text but an empty document.
            if (input_.AtEnd()) return;
            Report(XmlStatus::kInvalidDocumentStructure);
            input_.SkipThrough('>');
        }
    }
}

void XMLScanner::End() {
    input_.Release();
    finished_ = true;
}

bool XMLScanner::Step() {
    if (finished_) return false;
    // Character data that no reader took is passed over in the same step as the tag after it:
    // no caller acts between the two.
    if (input_.Peek() != '<') input_.SkipTo('<');
    if (input_.AtEnd()) {
        if (stack_.Count() > 0) Report(XmlStatus::kInputEndedInElement);
        finished_ = true;
        return false;
    }
    switch (input_.PeekAt(1)) {
        case '/':
            input_.Advance(2);
            ScanEndTag();
            break;
        case '!':
            input_.Advance(2);
            if (input_.Accept("[CDATA[")) {
                if (stack_.Count() == 0) Report(XmlStatus::kCdataOutsideRoot);
                input_.SkipPast("]]>");
            } else if (input_.Accept("--")) {
                input_.SkipPast("-->");
            } else {
                Report(XmlStatus::kExpectedCommentOrCdata);
                input_.SkipTo('<');
            }
            break;
        case '?':
            input_.Advance(2);
            input_.SkipPast("?>");
            break;
        default:
            input_.Advance(1);
            ScanStartTag();
            break;
    }
    return !finished_;
}

bool XMLScanner::ScanText(CharBuffer& text) {
    char c = input_.Peek();
    if (c == 0 || c == '<') return false;
    input_.ReadText(text);
    return true;
}

bool XMLScanner::ScanText(std::string_view& text) {
    char c = input_.Peek();
    if (c == 0 || c == '<') return false;
    input_.ReadText(text);
    return true;
}

void XMLScanner::ScanStartTag() {
    XMLElement& tag = stack_.Top();
    tag.isRoot = stack_.Count() == 0;
    tag.isEmpty = false;
    tag.attributes.Clear();
    if (!input_.ReadName(tag.name)) {
        Report(XmlStatus::kExpectedElementName);
        input_.SkipTo('<');
        return;
    }
    // The usual start tag: the name and '>', as the loop below would read it.
    if (input_.Accept('>')) return Deliver(tag, false);
    input_.SkipWhiteSpace();
    for (;;) {
        char c = input_.Peek();
        if (tag.attributes.Count() > 0 && c != '/' && c != '>') {
            if (IsXmlSpace(static_cast<unsigned char>(c))) {
                input_.SkipWhiteSpace();
                c = input_.Peek();
            } else {
                Report(XmlStatus::kExpectedWhitespace);
            }
        }
        if (input_.AtEnd()) return Fail(XmlStatus::kUnexpectedEnd);
        if (c == '/') {
            input_.Advance(1);
            if (!input_.Accept('>')) Report(XmlStatus::kUnterminatedStartTag);
            return Deliver(tag, true);
        }
        if (c == '>') {
            input_.Advance(1);
            return Deliver(tag, false);
        }
        if (c == '<') {
            Report(XmlStatus::kUnterminatedStartTag);
            return Deliver(tag, false);
        }
        XmlStatus stop = ScanAttribute(tag);
        if (IsFatal(stop)) return Fail(stop);
        if (stop != XmlStatus::kOk) {
            Report(stop);
            input_.SkipThrough('>');
            return;
        }
    }
}

XmlStatus XMLScanner::ScanAttribute(XMLElement& tag) {
    // The duplicate check compares with every earlier name, so the count must stay small.
    if (tag.attributes.Count() >= kMaxAttributes) return XmlStatus::kLimitExceeded;
    if (!input_.ReadName(attrName_)) return XmlStatus::kExpectedAttributeName;
    if (tag.attributes.Contains(attrName_)) {
        Report(XmlStatus::kAttributeRepeated);
        return XmlStatus::kOk;
    }
    input_.SkipWhiteSpace();
    if (!input_.Accept('=')) return XmlStatus::kExpectedEqualSign;
    input_.SkipWhiteSpace();
    char quote = input_.AcceptQuote();
    if (quote == 0) return XmlStatus::kExpectedAttributeValue;
    attrValue_.Clear();
    for (;;) {
        if (input_.AtEnd()) return XmlStatus::kUnexpectedEnd;
        if (input_.Peek() == '<') Report(XmlStatus::kLessThanInAttribute);
        char c = input_.Get();
        if (c == quote) break;
        attrValue_.Append(IsXmlSpace(static_cast<unsigned char>(c)) ? ' ' : c);
    }
    tag.attributes.Add(XMLAttribute{attrName_, attrValue_});
    return XmlStatus::kOk;
}

void XMLScanner::Deliver(XMLElement& tag, bool isEmpty) {
    // End tags are optional to the scanner, so without a bound every 3 bytes of "<a>" would hold
    // an element on the stack.
    if (!isEmpty && stack_.Count() >= kMaxDepth) return Fail(XmlStatus::kLimitExceeded);
    tag.isEmpty = isEmpty;
    XMLElement* element = stack_.Push();
    if (isEmpty) {
        stack_.Pop();
        if (element->isRoot) finished_ = true;
    }
    docHandler_.StartElement(*element);
}

void XMLScanner::ScanEndTag() {
    if (stack_.Count() == 0) {
        Report(XmlStatus::kMoreEndTags);
        input_.SkipThrough('>');
        return Fail(XmlStatus::kUnbalancedTags);
    }
    XMLElement* element = stack_.Pop();
    if (!input_.AcceptEarlierName(element->name)) {
        Report(XmlStatus::kExpectedEndOfTag);
        input_.SkipThrough('>');
        return;
    }
    input_.SkipWhiteSpace();
    if (!input_.Accept('>')) Report(XmlStatus::kUnterminatedEndTag);
    if (element->isRoot) finished_ = true;
    docHandler_.EndElement(*element);
}

}  // namespace voxtrel
