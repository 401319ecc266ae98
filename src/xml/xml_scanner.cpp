// The XML tokenizer: prolog, tags, attributes, character data and the recovery rules.
#include "xml/xml_scanner.h"

namespace voxtrel {

XMLScanner::XMLScanner(XMLDocHandler* docHandler, XMLErrHandler* errHandler)
    : docHandler_(docHandler), errHandler_(errHandler) {}

XMLScanner::~XMLScanner() = default;

void XMLScanner::ReportError(int32_t code) {
    if (errHandler_) errHandler_->Error(code);
}

void XMLScanner::Begin(const CharBuffer& document) {
    input_.Load(document);
    stack_.Reset();
    finished_ = false;
    if (docHandler_) {
        docHandler_->ResetDocument();
        docHandler_->StartDocument();
    }
    SkipProlog();
    if (input_.AtEnd()) ReportError(kXmlEmptyDocument);
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
            ReportError(kXmlInvalidDocumentStructure);
            if (input_.AtEnd()) return;
            input_.SkipThrough('>');
        }
    }
}

void XMLScanner::End() {
    if (docHandler_) docHandler_->EndDocument();
    input_.Release();
    finished_ = true;
}

bool XMLScanner::Step() {
    if (finished_) return false;
    try {
        if (input_.AtEnd()) {
            if (stack_.Count() > 0) ReportError(kXmlInputEndedInElement);
            finished_ = true;
            return false;
        }
        if (input_.Peek() != '<') {
            ScanCharacters(text_);
            return true;
        }
        switch (input_.PeekAt(1)) {
            case '/':
                input_.Advance(2);
                ScanEndTag();
                break;
            case '!':
                input_.Advance(2);
                if (input_.Accept("[CDATA[")) {
                    if (stack_.Count() == 0) ReportError(kXmlCdataOutsideRoot);
                    input_.SkipPast("]]>");
                } else if (input_.Accept("--")) {
                    input_.SkipPast("-->");
                } else {
                    ReportError(kXmlExpectedCommentOrCdata);
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
    } catch (const XMLException& e) {
        finished_ = true;
        if (errHandler_) errHandler_->FatalError(e.code);
    }
    return !finished_;
}

bool XMLScanner::ScanText(CharBuffer& text) {
    char c = input_.Peek();
    if (c == 0 || c == '<') return false;
    ScanCharacters(text);
    return true;
}

void XMLScanner::ScanCharacters(CharBuffer& text) {
    input_.ReadText(text);
    if (docHandler_) docHandler_->Characters(text, false);
}

void XMLScanner::ScanStartTag() {
    XMLElement& tag = tag_;
    tag.isRoot = stack_.Count() == 0;
    tag.isEmpty = false;
    tag.attributes.Clear();
    if (!input_.ReadName(tag.name)) {
        ReportError(kXmlExpectedElementName);
        input_.SkipTo('<');
        return;
    }
    input_.SkipWhiteSpace();
    for (;;) {
        char c = input_.Peek();
        if (tag.attributes.Count() > 0 && c != '/' && c != '>') {
            if (IsXmlSpace(static_cast<unsigned char>(c))) {
                input_.SkipWhiteSpace();
                c = input_.Peek();
            } else {
                ReportError(kXmlExpectedWhitespace);
            }
        }
        if (input_.AtEnd()) throw XMLException(kXmlUnexpectedEnd);
        if (c == '/') {
            input_.Get();
            if (!input_.Accept('>')) ReportError(kXmlUnterminatedStartTag);
            Deliver(true);
            return;
        }
        if (c == '>') {
            input_.Get();
            Deliver(false);
            return;
        }
        if (c == '<') {
            ReportError(kXmlUnterminatedStartTag);
            Deliver(false);
            return;
        }
        int32_t stop = ScanAttribute();
        if (stop > 0) {
            ReportError(stop);
            input_.SkipThrough('>');
            return;
        }
    }
}

int32_t XMLScanner::ScanAttribute() {
    // The duplicate check compares with every earlier name, so the count must stay small.
    if (tag_.attributes.Count() >= kMaxAttributes) throw XMLException(kXmlLimitExceeded);
    if (!input_.ReadName(attrName_)) return kXmlExpectedAttributeName;
    if (tag_.attributes.Contains(attrName_)) {
        ReportError(kXmlAttributeRepeated);
        return 0;
    }
    input_.SkipWhiteSpace();
    if (!input_.Accept('=')) return kXmlExpectedEqualSign;
    input_.SkipWhiteSpace();
    char quote = input_.AcceptQuote();
    if (quote == 0) return kXmlExpectedAttributeValue;
    attrValue_.Clear();
    for (;;) {
        if (input_.AtEnd()) throw XMLException(kXmlUnexpectedEnd);
        char c = input_.Get();
        if (c == quote) break;
        if (c == '<') ReportError(kXmlLessThanInAttribute);
        attrValue_.Append(IsXmlSpace(static_cast<unsigned char>(c)) ? ' ' : c);
    }
    tag_.attributes.Add(XMLAttribute{attrName_, attrValue_});
    return 0;
}

void XMLScanner::Deliver(bool isEmpty) {
    // End tags are optional to the scanner, so without a bound every 3 bytes of "<a>" would hold
    // an element on the stack.
    if (!isEmpty && stack_.Count() >= kMaxDepth) throw XMLException(kXmlLimitExceeded);
    tag_.isEmpty = isEmpty;
    XMLElement* element = stack_.Push(tag_);
    if (isEmpty) {
        stack_.Pop();
        if (element->isRoot) finished_ = true;
    }
    if (docHandler_) docHandler_->StartElement(*element);
}

void XMLScanner::ScanEndTag() {
    if (stack_.Count() == 0) {
        ReportError(kXmlMoreEndTags);
        input_.SkipThrough('>');
        throw XMLException(kXmlUnbalancedTags);
    }
    XMLElement* element = stack_.Pop();
    if (!input_.Accept(element->name.Data(), element->name.Length())) {
        ReportError(kXmlExpectedEndOfTag);
        input_.SkipThrough('>');
        return;
    }
    input_.SkipWhiteSpace();
    if (!input_.Accept('>')) ReportError(kXmlUnterminatedEndTag);
    if (element->isRoot) finished_ = true;
    if (docHandler_) docHandler_->EndElement(*element);
}

}  // namespace voxtrel
