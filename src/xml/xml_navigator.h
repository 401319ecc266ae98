// Forward-only pull reader over one XML document: next element, text of the current element,
// skip to the end of the current element. Builds no tree.
#pragma once

#include <cstdint>
#include <memory>

#include "xml/ascii_case.h"
#include "xml/char_buffer.h"
#include "xml/xml_element.h"
#include "xml/xml_scanner.h"

namespace voxtrel {

// Receives the texts of the scanner's reports when attached to a navigator.
class XMLErrorSink {
  public:
    virtual ~XMLErrorSink() = default;
    virtual void Message(const char* text) = 0;
};

// The text of an error code (1 to 16) or a fatal code (1 or 2); null for any other code.
const char* XMLErrorText(int32_t code);
const char* XMLFatalText(int32_t code);

class XMLNavigator : public XMLDocHandler, public XMLErrHandler {
  public:
    XMLNavigator();
    ~XMLNavigator() override;
    XMLNavigator(const XMLNavigator&) = delete;
    XMLNavigator& operator=(const XMLNavigator&) = delete;

    void Characters(const CharBuffer& text, bool ignorable) override;
    void Unused(const CharBuffer& text) override;
    void StartDocument() override;
    void EndDocument() override;
    void StartElement(const XMLElement& element) override;
    void EndElement(const XMLElement& element) override;
    void ResetDocument() override;

    // False, changing nothing, while a document is open. The document is copied.
    virtual bool Open(const CharBuffer& document);
    virtual bool OpenFile(const char* path);
    // True when a start tag was read into element; false for an end tag or the document's end.
    virtual bool NextElement(XMLElement& element);
    // The raw character data up to the next tag; false, text untouched, when a tag comes next.
    virtual bool ReadText(CharBuffer& text);
    // Reads past the end tag of the element opened most recently and still open.
    virtual bool SkipElement();
    // The number of elements open in the document, whatever the reader has consumed of them.
    uint32_t OpenElements() const { return scanner_.Depth(); }
    // Reads on until no more than openElements elements are open: a reader that gives up inside
    // an element comes back out of it, however far in it was and however the element was
    // broken. False when the document ended on the way.
    bool CloseTo(uint32_t openElements);

    void FatalError(int32_t code) override;
    void Error(int32_t code) override;

    // The sink is not owned; null (the default) drops every message.
    void SetErrorSink(XMLErrorSink* sink) { errorSink_ = sink; }
    bool Parsing() const { return parsing_; }
    // The document went beyond the scanner's nesting or attribute bound: whatever was read from
    // it, the document as a whole is not one to act on.
    bool LimitExceeded() const { return limitExceeded_; }
    // For readers with bounds of their own, such as the nesting of values, that a document
    // exceeds: it then counts as exceeding a bound of the scanner.
    void SetLimitExceeded() { limitExceeded_ = true; }
    int32_t Depth() const { return depth_; }

    // Reused by ExpectElement, whose element is discarded after the name check, and by readers
    // that convert a text at once.
    XMLElement& ScratchElement() { return scratch_; }
    CharBuffer& ScratchText() { return scratchText_; }

  private:
    void Finish();

    XMLErrorSink* errorSink_ = nullptr;
    XMLScanner scanner_{this, this};
    XMLElement* output_ = nullptr;
    bool parsing_ = false;
    bool delivered_ = false;
    bool wasStart_ = false;
    bool more_ = true;
    bool limitExceeded_ = false;
    int32_t depth_ = 0;
    XMLElement scratch_;
    CharBuffer scratchText_;
};

// True when the next element is a start tag named name, letter case ignored. A false result may
// have consumed an end tag or a start tag of another name.
bool ExpectElement(XMLNavigator& navigator, const char* name);

// A buffer compared with a name, letter case ignored the ASCII way.
inline bool EqualsIgnoreCase(const CharBuffer& text, std::string_view name) {
    return EqualsIgnoreCase(std::string_view(text.Data(), text.Length()), name);
}

}  // namespace voxtrel
