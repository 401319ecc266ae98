// Benchmark entry: runs the registered benchmarks, or with --dump-documents DIR writes the
// protocol benchmark's messages to DIR for the reference run of another implementation.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>

#include "messages.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--dump-documents") == 0) {
        for (const auto& message : voxtrel::bench::kMessages) {
            std::string text = voxtrel::bench::MessageText(message);
            std::ofstream(std::string(argv[2]) + "/" + message.name + ".xml", std::ios::binary)
                << text;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
