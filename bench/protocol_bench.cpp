// Parse and write cost of whole protocol messages, each parsed by a fresh reader as the session
// does for every received message.
#include <benchmark/benchmark.h>

#include "messages.h"

using namespace voxtrel;

namespace {

void Parse(benchmark::State& state, const bench::NamedMessage* named) {
    std::string text = bench::MessageText(*named);
    std::unique_ptr<XmlRpcRequestMethod> awaiting = named->answers ? named->answers() : nullptr;
    for (auto _ : state) {
        if (awaiting) {
            std::unique_ptr<XmlRpcResponseMethod> answer = awaiting->ParseResponse(text);
            if (!answer) state.SkipWithError("answer did not parse");
            benchmark::DoNotOptimize(answer.get());
        } else {
            std::unique_ptr<XmlRpcRequestMethod> message = ParseRequest(text);
            if (!message) state.SkipWithError("message did not parse");
            benchmark::DoNotOptimize(message.get());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Write(benchmark::State& state, const bench::NamedMessage* named) {
    std::unique_ptr<XmlRpcMethod> message = named->make();
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
                                     &message);
        benchmark::RegisterBenchmark((std::string("BM_Write/") + message.name).c_str(), Write,
                                     &message);
    }
}

const bool registered = (Register(), true);

}  // namespace
