// Message cutting over a buffer that is compacted only when the cut part outweighs the rest.
#include "protocol/message_framer.h"

#include "protocol/xmlrpc_method.h"

namespace voxtrel {

MessageFramer::MessageFramer(size_t limit) : limit_(limit) {
    buffer_.reserve(4096);
}

bool MessageFramer::Append(const char* bytes, size_t count) {
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes, count);
    // Only the bytes after the last complete message count against the limit.
    if (Buffered() <= limit_) return true;
    size_t last = buffer_.rfind(kMessageTerminator);
    size_t tail = last == std::string::npos || last < start_
                      ? Buffered()
                      : buffer_.size() - (last + kMessageTerminator.size());
    return tail <= limit_;
}

bool MessageFramer::Next(std::string& message) {
    if (Buffered() == 0) return false;
    size_t end = std::string_view(buffer_).find(kMessageTerminator, start_);
    if (end == std::string::npos) return false;
    message.assign(buffer_, start_, end - start_);
    start_ = end + kMessageTerminator.size();
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return true;
}

void MessageFramer::Clear() {
    buffer_.clear();
    start_ = 0;
}

}  // namespace voxtrel
