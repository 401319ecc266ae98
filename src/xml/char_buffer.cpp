// Growable byte buffer used throughout the XML reader.
#include "xml/char_buffer.h"

#include <cstring>
#include <utility>

namespace voxtrel {

CharBuffer::CharBuffer(uint32_t capacity) : data_(inline_), capacity_(capacity) {
    inline_[0] = 0;
}

CharBuffer::CharBuffer(const CharBuffer& other) : data_(inline_), capacity_(other.capacity_) {
    inline_[0] = 0;
    AppendBytes(other.data_, other.length_);
}

CharBuffer& CharBuffer::operator=(const CharBuffer& other) {
    if (this != &other) {
        length_ = 0;
        if (!AppendBytes(other.data_, other.length_)) Clear();
    }
    return *this;
}

CharBuffer::CharBuffer(CharBuffer&& other) noexcept
    : data_(inline_), length_(other.length_), capacity_(other.capacity_) {
    if (other.heap_) {
        heap_ = std::move(other.heap_);
        data_ = heap_.get();
        room_ = other.room_;
    } else {
        std::memcpy(inline_, other.inline_, sizeof inline_);
    }
    other.data_ = other.inline_;
    other.room_ = kInlineRoom;
    other.Clear();
}

CharBuffer& CharBuffer::operator=(CharBuffer&& other) noexcept {
    if (this != &other) {
        if (other.heap_) {
            heap_ = std::move(other.heap_);
            data_ = heap_.get();
            room_ = other.room_;
            length_ = other.length_;
            capacity_ = other.capacity_;
            other.data_ = other.inline_;
            other.room_ = kInlineRoom;
        } else {
            *this = static_cast<const CharBuffer&>(other);
        }
        other.Clear();
    }
    return *this;
}

bool CharBuffer::Reserve(uint32_t adding) {
    if (adding > kMaxLength - length_) return false;
    uint32_t needed = length_ + adding;
    if (needed >= capacity_) capacity_ = 2 * needed;
    if (needed <= room_) return true;
    uint32_t room = capacity_ > needed ? capacity_ : needed;
    std::unique_ptr<char[]> bigger(new char[room + 1]);
    std::memcpy(bigger.get(), data_, length_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
    room_ = room;
    return true;
}

bool CharBuffer::Assign(const char* text, uint32_t count) {
    uint32_t keep = length_;
    length_ = 0;
    if (!Append(text, count)) {
        length_ = keep;
        return false;
    }
    return true;
}

bool CharBuffer::AppendGrowing(const char* bytes, size_t n) {
    if (n > kMaxLength || !Reserve(static_cast<uint32_t>(n))) return false;
    if (n != 0) std::memcpy(data_ + length_, bytes, n);
    length_ += static_cast<uint32_t>(n);
    return true;
}

bool CharBuffer::Equals(const char* text) const {
    if (text == nullptr) return false;
    size_t n = std::strlen(text);
    return n == length_ && std::memcmp(data_, text, n) == 0;
}

}  // namespace voxtrel
