// Parse and write cost of whole protocol messages, each read as the session reads every received
// message: in place, by one reader kept from message to message, its root telling a request from
// an answer.
#include <benchmark/benchmark.h>

#include "messages.h"

using namespace voxtrel;

namespace {

void Parse(benchmark::State& state, const bench::NamedMessage* named) {
    std::string text = bench::MessageText(*named);
    std::unique_ptr<XmlRpcRequestMethod> awaiting = named->answers ? named->answers() : nullptr;
    MessageReader reader;
    for (auto _ : state) {
        MessageReader::Root root = reader.Open(text);
        if (root == MessageReader::Root::kMethodCall) {
            std::unique_ptr<XmlRpcRequestMethod> message = reader.ReadRequest();
            if (!message) state.SkipWithError("message did not parse");
            benchmark::DoNotOptimize(message.get());
        } else if (root == MessageReader::Root::kMethodResponse && awaiting) {
            std::unique_ptr<XmlRpcResponseMethod> answer = reader.ReadResponse(*awaiting);
            if (!answer) state.SkipWithError("answer did not parse");
            benchmark::DoNotOptimize(answer.get());
        } else {
            state.SkipWithError("neither a request nor an awaited answer");
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
