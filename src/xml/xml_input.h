// The XML scanner's cursor over one document, read where it lies or from a private copy.
// The document ends at its first zero byte; a carriage return reads as a line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "xml/char_buffer.h"

namespace voxtrel {

// White space of the reader: the six ASCII space characters, whatever the locale.
inline bool IsXmlSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

class XMLInput {
  public:
    XMLInput();

    // Reads text where it lies: its bytes must stay unchanged until Release or the next Load.
    void Load(std::string_view text);
    // Reads a private copy of document.
    void LoadCopy(const CharBuffer& document);
    // Ends the reading; views of a private copy stay valid until the next load.
    void Release();

    bool AtEnd() const { return position_ >= length_; }
    // Raw, unlike Get: no caller looks for a line feed, and a carriage return is white space too.
    // 0 at the end.
    char Peek() const { return position_ < length_ ? text_[position_] : 0; }
    char Get();
    void SkipWhiteSpace() {
        // Locals: as far as the compiler knows, a byte of the text may be one of the members,
        // which it would then reload and store at every step.
        const char* text = text_;
        uint32_t at = position_;
        while (at < length_ && IsXmlSpace(static_cast<unsigned char>(text[at])))
            ++at;
        position_ = at;
    }
    // The longest run of ASCII letters, digits, '-', '_' and '.'; false when there is none.
    bool ReadName(CharBuffer& name);
    // The same as a view of the document, valid while it is loaded.
    bool ReadName(std::string_view& name);
    // Consumes an opening quote and returns it, or returns 0 and leaves the input as it is.
    char AcceptQuote();
    bool Accept(char c) {
        if (AtEnd() || Peek() != c) return false;
        // Get's line-end translation concerns only a carriage return.
        if (c == '\r') {
            Get();
        } else {
            ++position_;
        }
        return true;
    }
    bool Accept(std::string_view text) {
        if (!Test(text)) return false;
        position_ += static_cast<uint32_t>(text.size());
        return true;
    }
    bool Test(std::string_view text) const {
        if (text.size() > length_ - position_) return false;
        // Markup literals of a few bytes: a loop compares them sooner than a library call.
        const char* here = text_ + position_;
        for (size_t i = 0, n = text.size(); i < n; ++i) {
            if (here[i] != text[i]) return false;
        }
        return true;
    }
    // Accept for the name of an element of this document, which lies before the position.
    bool AcceptEarlierName(std::string_view name);
    // The byte offset bytes ahead of the position, with no line-end translation; 0 past the end.
    char PeekAt(uint32_t ahead) const {
        return ahead < length_ - position_ ? text_[position_ + ahead] : 0;
    }
    void Advance(uint32_t count) { position_ += count; }
    // The raw bytes up to the next '<' or the end; false, text untouched, when there are none.
    bool ReadText(CharBuffer& text);
    // The same as a view of the document, valid while it is loaded.
    bool ReadText(std::string_view& text);
    void SkipThrough(char c);
    void SkipTo(char c);
    void SkipPast(std::string_view text);
    // Stops before the first byte of set and returns it, or returns 0 at the end.
    char SkipToAnyOf(const char* set);

    uint32_t Position() const { return position_; }

  private:
    // The number of bytes from the position to the next stop byte, or to the end.
    uint32_t DistanceTo(char stop) const;

    std::unique_ptr<char[]> owned_;
    const char* text_;
    uint32_t position_ = 0;
    uint32_t length_ = 0;
};

}  // namespace voxtrel
