// Pull-driven, non-validating XML tokenizer over a document held in memory: each Step reports
// one markup item to a document handler and problems to an error handler, by code.
#pragma once

#include <cstdint>

#include "xml/char_buffer.h"
#include "xml/xml_element.h"
#include "xml/xml_input.h"

namespace voxtrel {

class XMLDocHandler {
  public:
    virtual ~XMLDocHandler() = default;
    virtual void Characters(const CharBuffer& text, bool ignorable) = 0;
    // Kept for the handler's slot layout; the scanner never sends it.
    virtual void Unused(const CharBuffer& text) = 0;
    virtual void StartDocument() = 0;
    virtual void EndDocument() = 0;
    virtual void StartElement(const XMLElement& element) = 0;
    virtual void EndElement(const XMLElement& element) = 0;
    virtual void ResetDocument() = 0;
};

class XMLErrHandler {
  public:
    virtual ~XMLErrHandler() = default;
    virtual void FatalError(int32_t code) = 0;
    virtual void Error(int32_t code) = 0;
};

// Error codes reported through XMLErrHandler::Error.
enum XMLErrorCode : int32_t {
    kXmlExpectedCommentOrCdata = 1,
    kXmlExpectedAttributeName = 2,
    kXmlExpectedEqualSign = 3,
    kXmlExpectedElementName = 4,
    kXmlInvalidDocumentStructure = 5,
    kXmlUnterminatedStartTag = 6,
    kXmlExpectedAttributeValue = 7,
    kXmlUnterminatedEndTag = 8,
    kXmlExpectedEndOfTag = 9,
    kXmlExpectedWhitespace = 10,
    kXmlMoreEndTags = 11,
    kXmlAttributeRepeated = 12,
    kXmlLessThanInAttribute = 13,
    kXmlInputEndedInElement = 14,
    kXmlEmptyDocument = 15,
    kXmlCdataOutsideRoot = 16,
};

// Fatal codes reported through XMLErrHandler::FatalError.
enum XMLFatalCode : int32_t {
    kXmlUnexpectedEnd = 1,
    kXmlUnbalancedTags = 2,
    // Deeper nesting or more attributes than a document of this protocol ever needs; it has no
    // text, as the peer that sends such a document is not one to explain it to.
    kXmlLimitExceeded = 3,
};

// Thrown inside Step only, and caught there.
class XMLException {
  public:
    explicit XMLException(int32_t fatalCode) : code(fatalCode) {}
    virtual ~XMLException() = default;
    int32_t code;
};

class XMLScanner {
  public:
    // Bounds that keep the work and memory per hostile byte small: the protocol nests about a
    // dozen elements and uses no attributes, so a document beyond either bound is unreadable.
    static constexpr uint32_t kMaxDepth = 64;
    static constexpr uint32_t kMaxAttributes = 64;

    XMLScanner(XMLDocHandler* docHandler, XMLErrHandler* errHandler);
    virtual ~XMLScanner();
    XMLScanner(const XMLScanner&) = delete;
    XMLScanner& operator=(const XMLScanner&) = delete;

    // Loads a private copy of document and skips its prolog.
    void Begin(const CharBuffer& document);
    // Processes the next item; false once the document is finished or a fatal error occurred.
    bool Step();
    void End();
    // Reads the character data that comes next into text; false, text untouched, when a tag or
    // the end of input comes next.
    bool ScanText(CharBuffer& text);

    uint32_t Depth() const { return stack_.Count(); }

  private:
    void SkipProlog();
    void ScanCharacters(CharBuffer& text);
    void ScanStartTag();
    void ScanEndTag();
    // Reads one attribute into attrName_/attrValue_; returns 0 or the code that drops the tag.
    int32_t ScanAttribute();
    void Deliver(bool isEmpty);
    void ReportError(int32_t code);

    XMLDocHandler* docHandler_;
    XMLErrHandler* errHandler_;
    XMLInput input_;
    CharBuffer text_;
    ElementStack stack_;
    // Scratch start tag, reused from tag to tag.
    XMLElement tag_;
    CharBuffer attrName_;
    CharBuffer attrValue_;
    bool finished_ = true;
};

}  // namespace voxtrel
