// Writing of XML text in fixed runs and short pieces, gathered in a buffer and appended to a
// string in large blocks.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

namespace voxtrel {

// Fixed text in a slot of a fixed width, joined from its parts at compile time. Copying the whole
// slot is a copy of known size, which the compiler does in a few moves instead of a call.
template <size_t Width>
struct TextRun {
    constexpr TextRun() = default;
    constexpr TextRun(std::initializer_list<std::string_view> parts) {
        // A run longer than its slot writes past text: not a constant expression, so a table
        // holding one does not compile.
        for (std::string_view part : parts) {
            for (char c : part)
                text[size++] = c;
        }
    }

    char text[Width] = {};
    size_t size = 0;
};

// Gathers written text in a buffer of its own and appends it to a string a buffer-full at a
// time: a document is dozens of short pieces, and appending each to the string costs a call and a
// capacity check, where a copy into the buffer is a few moves.
class XmlRpcWriter {
  public:
    XmlRpcWriter(const XmlRpcWriter&) = delete;
    XmlRpcWriter& operator=(const XmlRpcWriter&) = delete;

    // Runs writing(writer) with a writer over out and appends what it wrote to out, also when it
    // failed; returns what writing returns. The append is not left to a destructor, where a
    // failed allocation could not be thrown.
    template <typename Writing>
    static bool Into(std::string& out, Writing&& writing) {
        XmlRpcWriter writer(out);
        const bool written = writing(writer);
        writer.Flush();
        return written;
    }

    // Writes the pieces in order: texts, runs, int32_t and double values (fixed notation with six
    // decimals, as "%f" writes it). The room for all of them is checked once and the position
    // kept in a register meanwhile: a byte written through a char pointer may alias the
    // writer's own position, so each piece written alone would store and reload it.
    template <typename... Pieces>
    void Put(const Pieces&... pieces) {
        const size_t longest = (Longest(pieces) + ...);
        if (longest > Room()) {
            Flush();
            if (longest > kBufferSize) return (PutAlone(pieces), ...);
        }
        char* cursor = cursor_;
        ((cursor = Copy(cursor, pieces)), ...);
        cursor_ = cursor;
    }

  private:
    static constexpr size_t kBufferSize = 1024;
    static constexpr size_t kLongestInt = 11;      // "-2147483648"
    static constexpr size_t kLongestDouble = 328;  // DBL_MAX takes 316 characters

    explicit XmlRpcWriter(std::string& out) : out_(out) {}

    // Appends what the buffer holds to the string.
    void Flush();
    size_t Room() const { return static_cast<size_t>(buffer_ + kBufferSize - cursor_); }

    static size_t Longest(std::string_view text) { return text.size(); }
    template <size_t Width>
    static constexpr size_t Longest(const TextRun<Width>&) {
        static_assert(Width <= kBufferSize);
        return Width;
    }
    static constexpr size_t Longest(int32_t) { return kLongestInt; }
    static constexpr size_t Longest(double) { return kLongestDouble; }

    // One piece of a group longer than the buffer; a text longer than the buffer goes to the
    // string directly.
    void PutAlone(std::string_view text);
    template <size_t Width>
    void PutAlone(const TextRun<Width>& run) {
        Put(run);
    }
    void PutAlone(int32_t value) { Put(value); }
    void PutAlone(double value) { Put(value); }

    [[gnu::always_inline]] static char* Copy(char* to, std::string_view text) {
        CopyText(to, text.data(), text.size());
        return to + text.size();
    }
    // Copies the whole slot; the bytes past the run's text are overwritten by what follows.
    template <size_t Width>
    static char* Copy(char* to, const TextRun<Width>& run) {
        std::memcpy(to, run.text, Width);
        return to + run.size;
    }
    static char* Copy(char* to, int32_t value) {
        return std::to_chars(to, to + kLongestInt, value).ptr;
    }
    static char* Copy(char* to, double value);

    // The texts between the fixed runs (names, ids, addresses) are mostly short: two overlapping
    // copies of a fixed size each save the call into the C library's copy.
    [[gnu::always_inline]] static void CopyText(char* to, const char* from, size_t size) {
        if (size > 32) {
            std::memcpy(to, from, size);
        } else if (size >= 16) {
            CopyEnds<16>(to, from, size);
        } else if (size >= 8) {
            CopyEnds<8>(to, from, size);
        } else if (size >= 4) {
            CopyEnds<4>(to, from, size);
        } else if (size >= 2) {
            CopyEnds<2>(to, from, size);
        } else if (size == 1) {
            *to = *from;
        }
    }
    // Copies size bytes, Piece to 2 * Piece of them, as the first and the last Piece bytes.
    template <size_t Piece>
    static void CopyEnds(char* to, const char* from, size_t size) {
        std::memcpy(to, from, Piece);
        std::memcpy(to + size - Piece, from + size - Piece, Piece);
    }

    std::string& out_;
    char* cursor_ = buffer_;
    char buffer_[kBufferSize];
};

}  // namespace voxtrel
