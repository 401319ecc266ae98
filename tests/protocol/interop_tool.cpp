// Interoperability helper for the Python test: "write" (or no arguments) prints every kind of
// document this side writes, one line each: the request type it answers (16 for a request) and its
// bytes in hexadecimal; "read TYPE" reads one document from standard input as the answer to TYPE
// (16: as a request) and prints the notifications its Dispatch made, one per line, or "unread".
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "recording_client.h"

using namespace voxtrel;

int main(int argc, char** argv) {
    if (argc < 3) {
        setenv("TZ", kGoldenZone, 1);
        tzset();
        for (const Golden& document : GoldenDocuments()) {
            std::printf("%u\t", document.answerTo);
            for (unsigned char byte : document.written)
                std::printf("%02x", byte);
            std::printf("\n");
        }
        return 0;
    }
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::cout << ReadAndDispatch(static_cast<uint32_t>(std::atoi(argv[2])), text) << "\n";
    return 0;
}
