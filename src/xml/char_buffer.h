// Growable byte buffer: documents enter the XML reader in one, names and texts leave it in one.
// The text is kept unterminated; CStr() writes the zero on demand (there is always room for it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace voxtrel {

class CharBuffer {
  public:
    static constexpr uint32_t kDefaultCapacity = 256;
    // The largest text a buffer holds; appends that would pass it are refused.
    static constexpr uint32_t kMaxLength = 0x7FFFFFFEu / 2;

    explicit CharBuffer(uint32_t capacity = kDefaultCapacity);
    CharBuffer(const CharBuffer& other);
    CharBuffer& operator=(const CharBuffer& other);
    CharBuffer(CharBuffer&& other) noexcept;
    CharBuffer& operator=(CharBuffer&& other) noexcept;
    ~CharBuffer() = default;

    // A count of 0 means "up to the terminating zero" of text. Each returns false, leaving the
    // buffer as it was, when the result would exceed kMaxLength.
    bool Assign(const char* text, uint32_t count = 0);
    bool Append(char c) {
        if (length_ + 1 >= capacity_ || length_ + 1 > room_) return Append(&c, 1);
        data_[length_++] = c;
        return true;
    }
    bool Append(const char* text, uint32_t count = 0) {
        if (text == nullptr) return true;
        return AppendBytes(text, count != 0 ? count : std::strlen(text));
    }
    void Clear() {
        length_ = 0;
        data_[0] = 0;
    }

    // Byte-exact comparison with a C string; false when text is null.
    bool Equals(const char* text) const;

    const char* Data() const { return data_; }
    const char* CStr() const {
        data_[length_] = 0;
        return data_;
    }
    uint32_t Length() const { return length_; }

  private:
    // Names and short texts, the usual content, fit without a heap allocation.
    static constexpr uint32_t kInlineRoom = 39;

    bool Reserve(uint32_t adding);
    bool AppendBytes(const char* bytes, size_t n) {
        if (n < capacity_ - length_ && n <= room_ - length_) {
            std::memcpy(data_ + length_, bytes, n);
            length_ += static_cast<uint32_t>(n);
            return true;
        }
        return AppendGrowing(bytes, n);
    }
    bool AppendGrowing(const char* bytes, size_t n);

    char* data_;  // inline_ or heap_, with room_ + 1 bytes
    std::unique_ptr<char[]> heap_;
    uint32_t length_ = 0;
    uint32_t capacity_;
    uint32_t room_ = kInlineRoom;
    char inline_[kInlineRoom + 1];
};

}  // namespace voxtrel
