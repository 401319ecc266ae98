// The framing of the byte stream fed in random pieces: the messages cut must be those of one
// cut over the whole buffer, whatever the boundaries of the pieces. The first bytes choose the
// piece sizes, the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/message_framer.h"

using namespace voxtrel;

namespace {

std::vector<std::string> CutAll(MessageFramer& framer) {
    std::vector<std::string> messages;
    std::string message;
    while (framer.Next(message))
        messages.push_back(message);
    return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t sizeCount = data[0] % 8 + 1;
    if (size < 1 + sizeCount) return 0;
    const uint8_t* sizes = data + 1;
    const char* stream = reinterpret_cast<const char*>(data + 1 + sizeCount);
    size_t length = size - 1 - sizeCount;

    MessageFramer whole;
    if (!whole.Append(stream, length)) std::abort();
    std::vector<std::string> expected = CutAll(whole);

    MessageFramer pieces;
    std::vector<std::string> got;
    size_t at = 0;
    for (size_t i = 0; at < length; ++i) {
        size_t piece = sizes[i % sizeCount] % 7 + (i % 3 == 0 ? 0 : 1);
        if (piece > length - at) piece = length - at;
        if (!pieces.Append(stream + at, piece)) std::abort();
        at += piece;
        for (std::string& message : CutAll(pieces))
            got.push_back(std::move(message));
    }
    if (got != expected || pieces.Buffered() != whole.Buffered()) std::abort();
    return 0;
}
