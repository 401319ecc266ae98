// Message cutting over a buffer that is compacted only when the cut part outweighs the rest.
#include "protocol/message_framer.h"

#include <algorithm>

#include "protocol/xmlrpc_method.h"

namespace voxtrel {

MessageFramer::MessageFramer(size_t limit) : limit_(limit) {
    buffer_.reserve(4096);
}

bool MessageFramer::Append(const char* bytes, size_t count) {
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        searched_ -= start_;
        start_ = 0;
    }
    buffer_.append(bytes, count);
    // Only the bytes after the last complete message count against the limit.
    if (Buffered() <= limit_) return true;
    size_t last = std::string_view(buffer_).substr(start_).rfind(kMessageTerminator);
    size_t tail =
        last == std::string::npos ? Buffered() : Buffered() - (last + kMessageTerminator.size());
    return tail <= limit_;
}

bool MessageFramer::Next(std::string& message) {
    std::string_view cut;
    if (!Next(cut)) return false;
    message.assign(cut);
    return true;
}

bool MessageFramer::Next(std::string_view& message) {
    if (Buffered() == 0) return false;
    size_t from = std::max(start_, searched_);
    size_t end = std::string_view(buffer_).find(kMessageTerminator, from);
    if (end == std::string::npos) {
        // A terminator that the next receive completes starts in the last three bytes.
        size_t keep = kMessageTerminator.size() - 1;
        searched_ = std::max(start_, buffer_.size() > keep ? buffer_.size() - keep : 0);
        return false;
    }
    message = std::string_view(buffer_).substr(start_, end - start_);
    // The cut bytes stay where they are for the view; the next Append drops them.
    start_ = end + kMessageTerminator.size();
    searched_ = start_;
    return true;
}

void MessageFramer::Clear() {
    buffer_.clear();
    start_ = 0;
    searched_ = 0;
}

}  // namespace voxtrel
