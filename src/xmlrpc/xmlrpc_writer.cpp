// The writer's slow paths: doubles, long texts and the appending of a buffer-full.
#include "xmlrpc/xmlrpc_writer.h"

namespace voxtrel {

char* XmlRpcWriter::Copy(char* to, double value) {
    return std::to_chars(to, to + kLongestDouble, value, std::chars_format::fixed, 6).ptr;
}

void XmlRpcWriter::Flush() {
    out_.append(buffer_, static_cast<size_t>(cursor_ - buffer_));
    cursor_ = buffer_;
}

void XmlRpcWriter::PutAlone(std::string_view text) {
    if (text.size() > Room()) {
        Flush();
        if (text.size() > kBufferSize) {
            out_ += text;
            return;
        }
    }
    cursor_ = Copy(cursor_, text);
}

}  // namespace voxtrel
