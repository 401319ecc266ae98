// Cuts a received byte stream into messages at each CR LF CR LF. One implementation serves the
// session's reading side and the simulator's connections.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace voxtrel {

class MessageFramer {
  public:
    // The most unterminated bytes a peer may leave waiting; beyond it the stream is unusable.
    static constexpr size_t kDefaultLimit = 1u << 20;

    explicit MessageFramer(size_t limit = kDefaultLimit);

    // Appends received bytes; false when the bytes still waiting for a terminator exceed the
    // limit (the caller then treats the peer as gone).
    bool Append(const char* bytes, size_t count);
    // Cuts the first complete message (without its terminator) into message; false when the
    // buffer holds none. An empty message, from two terminators in a row, is a message too.
    bool Next(std::string& message);
    // The same as a view of the buffer, uncopied: valid until the next Append or Clear.
    bool Next(std::string_view& message);
    void Clear();

    size_t Buffered() const { return buffer_.size() - start_; }

  private:
    std::string buffer_;
    size_t start_ = 0;  // bytes before it are already cut
    // No terminator starts between start_ and this position: a receive in small pieces then costs
    // a search of its own bytes only, not of the whole waiting tail again.
    size_t searched_ = 0;
    size_t limit_;
};

}  // namespace voxtrel
