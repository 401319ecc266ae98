// Reads arbitrary bytes as one XML-RPC value and writes it back: a value that reads must write,
// and its written form must read and write again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xmlrpc/xmlrpc_value.h"

using namespace voxtrel;

namespace {

std::unique_ptr<XmlRpcValue> ReadOne(const char* bytes, size_t size) {
    CharBuffer document;
    if (!document.Append(bytes, static_cast<uint32_t>(size))) return nullptr;
    XMLNavigator navigator;
    navigator.Open(document);
    std::unique_ptr<XmlRpcValue> value = OpenValue(navigator);
    if (value && !value->Read(navigator)) return nullptr;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::unique_ptr<XmlRpcValue> value = ReadOne(reinterpret_cast<const char*>(data), size);
    if (!value) return 0;
    std::string first;
    if (!value->Write(first)) std::abort();
    std::unique_ptr<XmlRpcValue> again = ReadOne(first.data(), first.size());
    if (!again) std::abort();
    std::string second;
    if (!again->Write(second) || second != first) std::abort();
    return 0;
}
