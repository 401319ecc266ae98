// Interoperability helper for the Python test: "write" prints every kind of document this side
// writes, one line each: the request type it answers (16 for a request) and its bytes
// in hexadecimal; "read-request" and "read-response TYPE" read one document from standard input
// and print what it read as, then the notifications its Dispatch made, one per line.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "recording_client.h"

using namespace voxtrel;

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write") {
        setenv("TZ", "UTC", 1);
        tzset();
        for (const auto& [answerTo, document] : WrittenSamples()) {
            std::printf("%u\t", answerTo);
            for (unsigned char byte : document)
                std::printf("%02x", byte);
            std::printf("\n");
        }
        return 0;
    }
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (mode == "read-request") {
        auto request = ParseRequest(text);
        if (request)
            std::cout << "type " << request->methodType << " id " << request->GetId() << "\n";
    } else if (mode == "read-response" && argc > 2) {
        auto request = CreateRequest(MethodName(static_cast<uint32_t>(std::atoi(argv[2]))));
        auto answer = request ? request->ParseResponse(text) : nullptr;
        if (answer) {
            bool fault = dynamic_cast<FaultResponseMethod*>(answer.get()) != nullptr;
            std::cout << (fault ? "fault" : "answer") << " id " << answer->GetId() << "\n";
        }
    } else {
        std::fprintf(stderr, "usage: protocol_interop write | read-request | read-response TYPE\n");
        return 2;
    }
    uint32_t answerTo = mode == "read-request" ? kReadAsRequest : std::atoi(argv[2]);
    std::string read = ReadAndDispatch(answerTo, text);
    if (!read.empty()) std::cout << read << "\n";
    return 0;
}
