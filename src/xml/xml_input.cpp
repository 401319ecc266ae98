// Cursor operations of the XML scanner.
#include "xml/xml_input.h"

#include <array>
#include <cstring>
#include <utility>

namespace voxtrel {

namespace {

const char kNoText[1] = {0};

constexpr std::array<bool, 256> MakeNameChars() {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_' || c == '.';
    }
    return table;
}
constexpr std::array<bool, 256> kNameChars = MakeNameChars();

// Text between tags is short in this protocol: a plain loop finds the next byte sooner than a
// library search would start, which takes over for longer text.
constexpr uint32_t kShortScan = 16;

}  // namespace

XMLInput::XMLInput() : text_(kNoText) {}

void XMLInput::Load(std::string_view text) {
    owned_.reset();
    const void* zero = std::memchr(text.data(), 0, text.size());
    text_ = text.empty() ? kNoText : text.data();
    length_ = zero ? static_cast<uint32_t>(static_cast<const char*>(zero) - text.data())
                   : static_cast<uint32_t>(text.size());
    position_ = 0;
}

void XMLInput::LoadCopy(const CharBuffer& document) {
    std::unique_ptr<char[]> copy(new char[document.Length() + 1]);
    std::memcpy(copy.get(), document.Data(), document.Length());
    Load(std::string_view(copy.get(), document.Length()));
    owned_ = std::move(copy);
}

void XMLInput::Release() {
    text_ = kNoText;
    position_ = 0;
    length_ = 0;
}

char XMLInput::Get() {
    if (AtEnd()) return 0;
    char c = text_[position_++];
    if (c == '\r') {
        if (position_ < length_ && text_[position_] == '\n') ++position_;
        return '\n';
    }
    return c;
}

bool XMLInput::ReadName(CharBuffer& name) {
    uint32_t start = position_;
    while (position_ < length_ && kNameChars[static_cast<unsigned char>(text_[position_])])
        ++position_;
    name.Clear();
    if (position_ == start) return false;
    name.Append(text_ + start, position_ - start);
    return true;
}

char XMLInput::AcceptQuote() {
    char c = Peek();
    if (c != '"' && c != '\'') return 0;
    ++position_;
    return c;
}

uint32_t XMLInput::TextLength() const {
    uint32_t end = position_;
    for (uint32_t stop = length_ - position_ > kShortScan ? position_ + kShortScan : length_;
         end < stop; ++end) {
        if (text_[end] == '<') return end - position_;
    }
    if (end == length_) return end - position_;
    const void* lt = std::memchr(text_ + end, '<', length_ - end);
    return lt ? static_cast<uint32_t>(static_cast<const char*>(lt) - (text_ + position_))
              : length_ - position_;
}

bool XMLInput::ReadText(CharBuffer& text) {
    uint32_t n = TextLength();
    text.Clear();
    if (n == 0) return false;
    text.Append(text_ + position_, n);
    position_ += n;
    return true;
}

bool XMLInput::ReadText(std::string_view& text) {
    uint32_t n = TextLength();
    if (n == 0) return false;
    text = std::string_view(text_ + position_, n);
    position_ += n;
    return true;
}

void XMLInput::SkipTo(char c) {
    uint32_t stop = length_ - position_ > kShortScan ? position_ + kShortScan : length_;
    for (; position_ < stop; ++position_) {
        if (text_[position_] == c) return;
    }
    if (position_ == length_) return;
    const void* found = std::memchr(text_ + position_, c, length_ - position_);
    position_ = found ? static_cast<uint32_t>(static_cast<const char*>(found) - text_) : length_;
}

void XMLInput::SkipThrough(char c) {
    SkipTo(c);
    if (!AtEnd()) ++position_;
}

void XMLInput::SkipPast(std::string_view text) {
    std::string_view rest(text_ + position_, length_ - position_);
    size_t found = rest.find(text);
    position_ = found == std::string_view::npos
                    ? length_
                    : position_ + static_cast<uint32_t>(found + text.size());
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
