// Interoperability helper for the Python test: with no arguments it prints every kind of document
// this side writes, each as the request type it answers (16 for a request), a tab, its bytes and a
// NUL; "read TYPE" reads one document from standard input as the answer to TYPE (16: as a
// request) and prints the notifications its Dispatch made, one per line, or "unread".
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "recording_client.h"

using namespace voxtrel;

int main(int argc, char** argv) {
    if (argc < 3) {
        for (const Golden& document : GoldenDocuments())
            std::cout << document.answerTo << '\t' << document.written << '\0';
        return 0;
    }
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::cout << ReadAndDispatch(static_cast<uint32_t>(std::atoi(argv[2])), text) << "\n";
    return 0;
}
