// Forward-only pull reader over one XML document: next element, text of the current element,
// skip to the end of the current element. Builds no tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "xml/ascii_case.h"
#include "xml/char_buffer.h"
#include "xml/xml_element.h"
#include "xml/xml_scanner.h"

namespace voxtrel {

class XMLNavigator final : private XMLDocHandler {
  public:
    XMLNavigator() = default;
    XMLNavigator(const XMLNavigator&) = delete;
    XMLNavigator& operator=(const XMLNavigator&) = delete;

    // False, changing nothing, while a document is open. The document is copied.
    bool Open(const CharBuffer& document);
    // The same over text where it lies, uncopied: its bytes must stay unchanged while the
    // document is open.
    bool OpenInPlace(std::string_view text);
    // Ends the open document, if any, keeping its result.
    void Close();
    // The start tag read next, valid until the next read; null for an end tag or the document's
    // end.
    const XMLElement* NextElement();
    // True when a start tag was read into element; false for an end tag or the document's end.
    bool NextElement(XMLElement& element);
    // The raw character data up to the next tag; false, text untouched, when a tag comes next.
    bool ReadText(CharBuffer& text);
    // The same as a view of the document, valid while it is open.
    bool ReadText(std::string_view& text);
    // Reads past the end tag of the element opened most recently and still open.
    bool SkipElement();
    // The number of elements open in the document, whatever the reader has consumed of them.
    uint32_t OpenElements() const { return scanner_.Depth(); }
    // Reads on until no more than openElements elements are open: a reader that gives up inside
    // an element comes back out of it, however far in it was and however the element was
    // broken. False when the document ended on the way.
    bool CloseTo(uint32_t openElements);

    bool Parsing() const { return parsing_; }
    // What went wrong with the document so far; it stays after the document is finished.
    const XmlParseResult& Result() const { return scanner_.Result(); }
    // The document went beyond the scanner's nesting or attribute bound, or one of a reader's
    // own: whatever was read from it, the document as a whole is not one to act on.
    bool LimitExceeded() const { return Result().status == XmlStatus::kLimitExceeded; }
    // For readers with bounds of their own, such as the nesting of values.
    void SetLimitExceeded() { scanner_.Report(XmlStatus::kLimitExceeded); }

    // Where the reading stands: equal marks mean that nothing was read or reported between them.
    struct Mark {
        uint32_t position;
        XmlParseResult result;
        bool more;
        bool operator==(const Mark&) const = default;
    };
    Mark Where() const { return Mark{scanner_.Position(), scanner_.Result(), more_}; }

    // Reused by readers that want an element of their own, and by those that convert a text at
    // once.
    XMLElement& ScratchElement() { return scratch_; }
    CharBuffer& ScratchText() { return scratchText_; }

  private:
    void StartElement(const XMLElement& element) override;
    void EndElement(const XMLElement& element) override;
    // False while a document is open; otherwise marks one open, its reading not yet begun.
    bool StartDocument();
    void Finish();

    XMLScanner scanner_{*this};
    // The start tag of the last step, or null after an end tag.
    const XMLElement* current_ = nullptr;
    bool parsing_ = false;
    bool delivered_ = false;
    bool more_ = true;
    // Start tags minus end tags: SkipElement sets it to 1 and reads until it is back to 0.
    int32_t depth_ = 0;
    XMLElement scratch_;
    CharBuffer scratchText_;
};

// True when the next element is a start tag named name, letter case ignored. A false result may
// have consumed an end tag or a start tag of another name.
bool ExpectElement(XMLNavigator& navigator, std::string_view name);

// A buffer compared with a name, letter case ignored the ASCII way.
inline bool EqualsIgnoreCase(const CharBuffer& text, std::string_view name) {
    return EqualsIgnoreCase(std::string_view(text.Data(), text.Length()), name);
}

}  // namespace voxtrel
