// The wire trace's shared rules: the direction of a message, the masking of an authenticate
// request's password and the one-line form of a traced message.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace voxtrel {

// Written as the character itself in a trace line.
enum class WireDirection : char {
    kSent = '>',
    kReceived = '<',
};

// What replaces a password in a traced document.
inline constexpr std::string_view kMaskedPassword = "****";

// When document is an authenticate request, sent or received, masked becomes the document with
// everything after the user name's param (the password, in whatever form the document writes
// it) replaced by a param of "****", and the result is true. Any other document gives false and
// leaves masked untouched. A document written by this side with its real password comes out as
// the same request written with "****".
bool MaskPassword(std::string_view document, std::string& masked);

// The document as every trace shows it: the message without its terminator, an authenticate
// request's password masked as above (the masked copy kept in storage).
std::string_view TracedDocument(std::string_view message, std::string& storage);

// Appends one trace line of a document as TracedDocument gives it, ending in a line feed: the
// UTC time with microseconds, the direction and the document, with CR, LF, backslash and the
// other control characters but tab escaped so that the entry stays on one line:
//   2026-12-06T13:04:05.123456Z > <?xml version="1.0"?>\r\n<methodCall>...
void AppendWireTraceLine(std::string& out, WireDirection direction,
                         std::chrono::system_clock::time_point time, std::string_view document);

// The same as a string of its own.
std::string WireTraceLine(WireDirection direction, std::chrono::system_clock::time_point time,
                          std::string_view document);

}  // namespace voxtrel
