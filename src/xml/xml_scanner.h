// Pull-driven, non-validating XML tokenizer over a document held in memory: each Step reports
// one tag to a document handler; problems end up in one parse result, as status and offset.
#pragma once

#include <cstdint>
#include <string_view>

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
    bool operator==(const XmlParseResult&) const = default;
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
    // The same over text where it lies: its bytes must stay unchanged until End.
    void Begin(std::string_view text);
    // Processes the next item; false once the document is finished or a fatal problem occurred.
    bool Step();
    // Ends the document; the result, and a private copy with the texts read from it, stay until
    // the next Begin.
    void End();
    // Reads the character data that comes next into text; false, text untouched, when a tag or
    // the end of input comes next.
    bool ScanText(CharBuffer& text);
    // The same as a view of the document, valid until End.
    bool ScanText(std::string_view& text);

    // Records status at the current offset: a fatal status replaces any recoverable one, but
    // neither replaces a fatal one.
    void Report(XmlStatus status);
    const XmlParseResult& Result() const { return result_; }
    uint32_t Depth() const { return stack_.Count(); }
    uint32_t Position() const { return input_.Position(); }

  private:
    // Clears the result and skips the prolog of the loaded document.
    void Start();
    void SkipProlog();
    void ScanStartTag();
    void ScanEndTag();
    // Reads one attribute into tag; returns kOk or the status that drops or ends the tag.
    XmlStatus ScanAttribute(XMLElement& tag);
    void Deliver(XMLElement& tag, bool isEmpty);
    void Fail(XmlStatus status);

    XMLDocHandler& docHandler_;
    XMLInput input_;
    ElementStack<kMaxDepth> stack_;
    CharBuffer attrName_;
    CharBuffer attrValue_;
    XmlParseResult result_;
    bool finished_ = true;
};

}  // namespace voxtrel
