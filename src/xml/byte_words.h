// Eight bytes at a time: the reader's scans and name comparisons test a word of the document per
// step, with no branch per byte. Each test gives a flag word, the high bit of every byte that
// passes; no carry ever crosses from one byte to the next, so every flag is exact.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace voxtrel::words {

inline constexpr uint64_t kOnes = 0x0101010101010101u;
inline constexpr uint64_t kHighs = 0x8080808080808080u;

constexpr uint64_t Repeat(unsigned char c) {
    return kOnes * c;
}

inline uint64_t Load8(const char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

inline uint64_t ZeroBytes(uint64_t word) {
    return ~(((word & ~kHighs) + ~kHighs) | word) & kHighs;
}

inline uint64_t BytesEqual(uint64_t word, unsigned char c) {
    return ZeroBytes(word ^ Repeat(c));
}

// For a word without high bits: the bytes of at least low, which is at most 0x80.
inline uint64_t BytesAtLeast(uint64_t low7, unsigned char low) {
    return ((low7 | kHighs) - Repeat(low)) & kHighs;
}

inline uint64_t BytesBetween(uint64_t low7, unsigned char low, unsigned char high) {
    return BytesAtLeast(low7, low) & ~BytesAtLeast(low7, static_cast<unsigned char>(high + 1));
}

// ASCII letters of either case.
inline uint64_t Letters(uint64_t word) {
    return BytesBetween((word & ~kHighs) | Repeat(0x20), 'a', 'z') & ~word;
}

// The index, in memory order, of the first byte flagged; flags must not be 0.
inline uint32_t FirstFlagged(uint64_t flags) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<uint32_t>(std::countr_zero(flags)) / 8;
    } else {
        return static_cast<uint32_t>(std::countl_zero(flags)) / 8;
    }
}

// All bits of the first count bytes in memory order, count at most 8.
inline uint64_t LeadingBytes(uint32_t count) {
    if (count >= 8) return ~uint64_t{0};
    if constexpr (std::endian::native == std::endian::little) {
        return (uint64_t{1} << (8 * count)) - 1;
    } else {
        return ~(~uint64_t{0} >> (8 * count));
    }
}

// Whether two words hold the same bytes, ASCII letter case ignored.
inline bool EqualIgnoringCase(uint64_t a, uint64_t b) {
    uint64_t difference = a ^ b;
    if (difference == 0) return true;
    // Each byte that differs may differ in the case bit alone, and only as a letter.
    if ((difference & ~Repeat(0x20)) != 0) return false;
    return ((difference << 2) & ~Letters(a)) == 0;
}

// The bytes of text, 2 to 8 of them, packed into a word by two overlapping loads: two texts of
// one length pack equal exactly when they are equal.
inline uint64_t Pack(const char* text, size_t size) {
    if (size >= 8) return Load8(text);
    if (size >= 4) {
        uint32_t first, last;
        std::memcpy(&first, text, 4);
        std::memcpy(&last, text + size - 4, 4);
        return first | uint64_t{last} << 32;
    }
    uint16_t first, last;
    std::memcpy(&first, text, 2);
    std::memcpy(&last, text + size - 2, 2);
    return first | uint64_t{last} << 16;
}

// ASCII letter case ignored, a word at a time.
inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    size_t size = a.size();
    if (size != b.size()) return false;
    if (size < 2) {
        return size == 0 || EqualIgnoringCase(static_cast<unsigned char>(a[0]),
                                              static_cast<unsigned char>(b[0]));
    }
    if (size <= 8) return EqualIgnoringCase(Pack(a.data(), size), Pack(b.data(), size));
    for (size_t at = 0; at + 8 < size; at += 8) {
        if (!EqualIgnoringCase(Load8(a.data() + at), Load8(b.data() + at))) return false;
    }
    return EqualIgnoringCase(Load8(a.data() + size - 8), Load8(b.data() + size - 8));
}

}  // namespace voxtrel::words
