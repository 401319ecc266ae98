// The XML scanner's cursor over a private, zero-terminated copy of one document.
// The document ends at its first zero byte; a carriage return reads as a line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "xml/char_buffer.h"

namespace voxtrel {

// White space of the reader: the six ASCII space characters, whatever the locale.
inline bool IsXmlSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

class XMLInput {
  public:
    XMLInput();

    void Load(const CharBuffer& document);
    void Release();

    bool AtEnd() const { return position_ >= length_; }
    // Raw, unlike Get: no caller looks for a line feed, and a carriage return is white space too.
    char Peek() const { return text_[position_]; }
    char Get();
    void SkipWhiteSpace();
    // The longest run of ASCII letters, digits, '-', '_' and '.'; false when there is none.
    bool ReadName(CharBuffer& name);
    // Consumes an opening quote and returns it, or returns 0 and leaves the input as it is.
    char AcceptQuote();
    bool Accept(char c);
    bool Accept(const char* text) { return Accept(text, std::strlen(text)); }
    bool Accept(const char* bytes, size_t count) {
        if (!Test(bytes, count)) return false;
        position_ += static_cast<uint32_t>(count);
        return true;
    }
    bool Test(const char* text) const { return Test(text, std::strlen(text)); }
    bool Test(const char* bytes, size_t count) const {
        return count <= length_ - position_ && std::memcmp(text_ + position_, bytes, count) == 0;
    }
    // The byte offset bytes ahead of the position, with no line-end translation; 0 past the end.
    char PeekAt(uint32_t ahead) const {
        return ahead <= length_ - position_ ? text_[position_ + ahead] : 0;
    }
    void Advance(uint32_t count) { position_ += count; }
    // The raw bytes up to the next '<' or the end; false when there are none.
    bool ReadText(CharBuffer& text);
    void SkipThrough(char c);
    void SkipTo(char c);
    void SkipPast(const char* text);
    // Stops before the first byte of set and returns it, or returns 0 at the end.
    char SkipToAnyOf(const char* set);

    uint32_t Position() const { return position_; }

  private:
    std::unique_ptr<char[]> owned_;
    const char* text_;
    uint32_t position_ = 0;
    uint32_t length_ = 0;
};

}  // namespace voxtrel
