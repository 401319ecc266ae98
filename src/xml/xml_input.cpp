// Cursor operations of the XML scanner.
#include "xml/xml_input.h"

#include <array>
#include <cstring>
#include <utility>

#include "xml/byte_words.h"

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

// Text between tags is short in this protocol: a word or two finds the next tag sooner than a
// library search would start, which takes over for longer text.
constexpr uint32_t kShortWords = 2;

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
    // No byte beyond the document: a reading past its end is an error that sanitizers see.
    std::unique_ptr<char[]> copy(new char[document.Length()]);
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
    std::string_view found;
    name.Clear();
    return ReadName(found) && name.Append(found.data(), static_cast<uint32_t>(found.size()));
}

bool XMLInput::ReadName(std::string_view& name) {
    const char* text = text_;
    uint32_t end = position_;
    while (end < length_ && kNameChars[static_cast<unsigned char>(text[end])])
        ++end;
    name = std::string_view(text + position_, end - position_);
    position_ = end;
    return !name.empty();
}

char XMLInput::AcceptQuote() {
    char c = Peek();
    if (c != '"' && c != '\'') return 0;
    ++position_;
    return c;
}

uint32_t XMLInput::DistanceTo(char stop) const {
    const char* text = text_;
    uint32_t end = position_;
    for (uint32_t word = 0; word < kShortWords && length_ - end >= 8; ++word, end += 8) {
        uint64_t found =
            words::BytesEqual(words::Load8(text + end), static_cast<unsigned char>(stop));
        if (found != 0) return end + words::FirstFlagged(found) - position_;
    }
    const void* found = std::memchr(text + end, stop, length_ - end);
    return found ? static_cast<uint32_t>(static_cast<const char*>(found) - (text + position_))
                 : length_ - position_;
}

bool XMLInput::AcceptEarlierName(std::string_view name) {
    uint32_t size = static_cast<uint32_t>(name.size());
    uint32_t left = length_ - position_;
    if (size > left) return false;
    const char* here = text_ + position_;
    bool same = true;
    if (size >= 8) {
        for (uint32_t at = 0; same && at + 8 < size; at += 8)
            same = words::Load8(here + at) == words::Load8(name.data() + at);
        same = same && words::Load8(here + size - 8) == words::Load8(name.data() + size - 8);
    } else if (left >= 8) {
        // Eight bytes are there to read at both: name ends before here.
        same = ((words::Load8(here) ^ words::Load8(name.data())) & words::LeadingBytes(size)) == 0;
    } else {
        same = std::memcmp(here, name.data(), size) == 0;
    }
    if (same) position_ += size;
    return same;
}

bool XMLInput::ReadText(CharBuffer& text) {
    uint32_t n = DistanceTo('<');
    text.Clear();
    if (n == 0) return false;
    text.Append(text_ + position_, n);
    position_ += n;
    return true;
}

bool XMLInput::ReadText(std::string_view& text) {
    uint32_t n = DistanceTo('<');
    if (n == 0) return false;
    text = std::string_view(text_ + position_, n);
    position_ += n;
    return true;
}

void XMLInput::SkipTo(char c) {
    position_ += DistanceTo(c);
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
