// Cursor operations of the XML scanner.
#include "xml/xml_input.h"

#include <cstring>
#include <string_view>

namespace voxtrel {

namespace {
const char kNoText[1] = {0};

bool IsNameChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}
}  // namespace

XMLInput::XMLInput() : text_(kNoText) {}

void XMLInput::Load(const CharBuffer& document) {
    const char* bytes = document.Data();
    const void* zero = std::memchr(bytes, 0, document.Length());
    uint32_t length =
        zero ? static_cast<uint32_t>(static_cast<const char*>(zero) - bytes) : document.Length();
    owned_.reset(new char[length + 1]);
    std::memcpy(owned_.get(), bytes, length);
    owned_[length] = 0;
    text_ = owned_.get();
    position_ = 0;
    length_ = length;
}

void XMLInput::Release() {
    owned_.reset();
    text_ = kNoText;
    position_ = 0;
    length_ = 0;
}

char XMLInput::Get() {
    if (AtEnd()) return 0;
    char c = text_[position_++];
    if (c == '\r') {
        if (text_[position_] == '\n') ++position_;
        return '\n';
    }
    return c;
}

void XMLInput::SkipWhiteSpace() {
    while (IsXmlSpace(static_cast<unsigned char>(text_[position_])))
        ++position_;
}

bool XMLInput::ReadName(CharBuffer& name) {
    uint32_t start = position_;
    while (IsNameChar(static_cast<unsigned char>(text_[position_])))
        ++position_;
    name.Clear();
    if (position_ == start) return false;
    name.Append(text_ + start, position_ - start);
    return true;
}

char XMLInput::AcceptQuote() {
    char c = text_[position_];
    if (c != '"' && c != '\'') return 0;
    ++position_;
    return c;
}

bool XMLInput::Accept(char c) {
    if (AtEnd() || Peek() != c) return false;
    Get();
    return true;
}

bool XMLInput::ReadText(CharBuffer& text) {
    const char* start = text_ + position_;
    const void* lt = std::memchr(start, '<', length_ - position_);
    uint32_t n =
        lt ? static_cast<uint32_t>(static_cast<const char*>(lt) - start) : length_ - position_;
    text.Clear();
    if (n == 0) return false;
    text.Append(start, n);
    position_ += n;
    return true;
}

void XMLInput::SkipTo(char c) {
    const void* found = std::memchr(text_ + position_, c, length_ - position_);
    position_ = found ? static_cast<uint32_t>(static_cast<const char*>(found) - text_) : length_;
}

void XMLInput::SkipThrough(char c) {
    SkipTo(c);
    if (!AtEnd()) ++position_;
}

void XMLInput::SkipPast(const char* text) {
    std::string_view rest(text_ + position_, length_ - position_);
    size_t found = rest.find(text);
    position_ = found == std::string_view::npos
                    ? length_
                    : position_ + static_cast<uint32_t>(found + std::strlen(text));
}

char XMLInput::SkipToAnyOf(const char* set) {
    while (!AtEnd()) {
        char c = text_[position_];
        if (std::strchr(set, c) != nullptr) return c;
        ++position_;
    }
    return 0;
}

}  // namespace voxtrel
