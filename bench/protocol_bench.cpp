// Parse and write cost of whole protocol messages, each parsed by a fresh reader as the session
// does for every received message.
#include <benchmark/benchmark.h>

#include "messages.h"

using namespace voxtrel;

namespace {

void Parse(benchmark::State& state, std::unique_ptr<XmlRpcRequestMethod> (*make)()) {
    std::string text;
    make()->Write(text);
    for (auto _ : state) {
        std::unique_ptr<XmlRpcRequestMethod> message = ParseRequest(text);
        if (!message) state.SkipWithError("message did not parse");
        benchmark::DoNotOptimize(message.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Write(benchmark::State& state, std::unique_ptr<XmlRpcRequestMethod> (*make)()) {
    std::unique_ptr<XmlRpcRequestMethod> message = make();
    std::string text;
    for (auto _ : state) {
        // A fresh string per message, as the session writes each queued message.
        std::string out;
        message->Write(out);
        benchmark::DoNotOptimize(out.data());
        text.swap(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Register() {
    for (const auto& message : bench::kMessages) {
        benchmark::RegisterBenchmark((std::string("BM_Parse/") + message.name).c_str(), Parse,
                                     message.make);
        benchmark::RegisterBenchmark((std::string("BM_Write/") + message.name).c_str(), Write,
                                     message.make);
    }
}

const bool registered = (Register(), true);

}  // namespace
