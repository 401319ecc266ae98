// Pull-driven, non-validating XML tokenizer over a document held in memory: each Step reports
// one tag to a document handler; problems end up in one parse result, as status and offset.
#pragma once

#include <cstdint>

#include "xml/char_buffer.h"
#include "xml/xml_element.h"
#include "xml/xml_input.h"

namespace voxtrel {

class XMLDocHandler {
  public:
    virtual void StartElement(const XMLElement& element) = 0;
    virtual void EndElement(const XMLElement& element) = 0;

  protected:
    ~XMLDocHandler() = default;
};

enum class XmlStatus : int32_t {
    kOk = 0,
    // Recoverable: the scanner reads on past them.
    kExpectedCommentOrCdata,
    kExpectedAttributeName,
    kExpectedEqualSign,
    kExpectedElementName,
    kInvalidDocumentStructure,
    kUnterminatedStartTag,
    kExpectedAttributeValue,
    kUnterminatedEndTag,
    kExpectedEndOfTag,
    kExpectedWhitespace,
    kMoreEndTags,
    kAttributeRepeated,
    kLessThanInAttribute,
    kInputEndedInElement,
    kEmptyDocument,
    kCdataOutsideRoot,
    // Fatal: the reading ends there.
    kUnexpectedEnd,
    kUnbalancedTags,
    // Deeper nesting or more attributes than a document of this protocol ever needs.
    kLimitExceeded,
};

// The outcome of reading one document: the fatal problem that ended it, else the first
// recoverable one, else kOk; offset is the byte of the document at which it was found.
struct XmlParseResult {
    XmlStatus status = XmlStatus::kOk;
    uint32_t offset = 0;

    bool Fatal() const { return status >= XmlStatus::kUnexpectedEnd; }
    const char* Description() const;
    explicit operator bool() const { return status == XmlStatus::kOk; }
};

class XMLScanner {
  public:
    // Bounds that keep the work and memory per hostile byte small: the protocol nests about a
    // dozen elements and uses no attributes, so a document beyond either bound is unreadable.
    static constexpr uint32_t kMaxDepth = 64;
    static constexpr uint32_t kMaxAttributes = 64;

    explicit XMLScanner(XMLDocHandler& docHandler) : docHandler_(docHandler) {}
    XMLScanner(const XMLScanner&) = delete;
    XMLScanner& operator=(const XMLScanner&) = delete;

    // Loads a private copy of document, clears the result and skips the prolog.
    void Begin(const CharBuffer& document);
    // Processes the next item; false once the document is finished or a fatal problem occurred.
    bool Step();
    // Releases the document; the result stays until the next Begin.
    void End();
    // Reads the character data that comes next into text; false, text untouched, when a tag or
    // the end of input comes next.
    bool ScanText(CharBuffer& text);

    // Records status at the current offset: a fatal status replaces any recoverable one, but
    // neither replaces a fatal one.
    void Report(XmlStatus status);
    const XmlParseResult& Result() const { return result_; }
    uint32_t Depth() const { return stack_.Count(); }

  private:
    void SkipProlog();
    void ScanStartTag();
    void ScanEndTag();
    // Reads one attribute into tag_; returns kOk or the status that drops or ends the tag.
    XmlStatus ScanAttribute();
    void Deliver(bool isEmpty);
    void Fail(XmlStatus status);

    XMLDocHandler& docHandler_;
    XMLInput input_;
    ElementStack stack_;
    // Scratch start tag, reused from tag to tag.
    XMLElement tag_;
    CharBuffer attrName_;
    CharBuffer attrValue_;
    XmlParseResult result_;
    bool finished_ = true;
};

}  // namespace voxtrel
