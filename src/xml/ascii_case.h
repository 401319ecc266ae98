// Letter case ignored the ASCII way, whatever the locale: the one rule by which element names,
// type names, member names, method names and address prefixes compare.
#pragma once

#include <string_view>

#include "xml/byte_words.h"

namespace voxtrel {

inline unsigned char FoldAscii(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return words::EqualIgnoringCase(a, b);
}

inline bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace voxtrel
