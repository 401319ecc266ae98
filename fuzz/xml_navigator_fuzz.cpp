// Walks arbitrary bytes with the navigator: the first byte gives how many of the following
// bytes choose the operations (next element, read text, skip element), the rest is the document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "xml/xml_navigator.h"

using namespace voxtrel;

namespace {

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t opCount = data[0] % 16 + 1;
    if (size < 1 + opCount) return 0;
    const uint8_t* ops = data + 1;
    CharBuffer document;
    size_t documentSize = size - 1 - opCount;
    // A count of 0 would mean "up to a zero byte": an empty document stays empty.
    if (documentSize != 0 && !document.Append(reinterpret_cast<const char*>(data + 1 + opCount),
                                              static_cast<uint32_t>(documentSize))) {
        return 0;
    }

    XMLNavigator navigator;
    XMLElement element;
    CharBuffer text;
    for (int round = 0; round < 2; ++round) {
        Check(navigator.Open(document));
        Check(!navigator.Open(document));
        // Every operation that is not a text read consumes input, so the walk is bounded by the
        // document's length; text reads alternate with the others.
        size_t limit = 4 * static_cast<size_t>(document.Length()) + 64;
        for (size_t i = 0; navigator.Parsing() && i < limit; ++i) {
            switch (ops[i % opCount] % 3) {
                case 0:
                    if (navigator.NextElement(element)) {
                        Check(!element.name.empty());
                        for (char c : element.name)
                            Check(IsNameByte(c));
                    }
                    break;
                case 1:
                    if (navigator.ReadText(text)) Check(text.Length() > 0);
                    navigator.NextElement(element);
                    break;
                default:
                    navigator.SkipElement();
                    break;
            }
        }
        Check(!navigator.Parsing());
        Check(!navigator.NextElement(element));
        Check(!navigator.SkipElement());
    }
    return 0;
}
