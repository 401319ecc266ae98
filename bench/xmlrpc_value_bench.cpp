// Read and write cost of single XML-RPC values, each read in place by one navigator kept from
// value to value, as the session reads every received message.
#include <benchmark/benchmark.h>

#include <string>

#include "xmlrpc/xmlrpc_value.h"

using namespace voxtrel;

namespace {

std::unique_ptr<XmlRpcValueStruct> MailNotice() {
    auto notice = std::make_unique<XmlRpcValueStruct>();
    notice->SetMember("From", std::make_unique<XmlRpcValueString>("sip:alice@10.0.0.5"));
    notice->SetMember("Time", std::make_unique<XmlRpcValueDateTime>("2006-05-04 13:02:01"));
    notice->SetMember("Duration", std::make_unique<XmlRpcValueInt>(42));
    notice->SetMember("MailID", std::make_unique<XmlRpcValueInt>(1007));
    return notice;
}

void WriteValue(benchmark::State& state, const XmlRpcValue& value) {
    std::string out;
    for (auto _ : state) {
        out.clear();
        value.Write(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void ReadValue(benchmark::State& state, const XmlRpcValue& value) {
    std::string text;
    value.Write(text);
    XMLNavigator navigator;
    for (auto _ : state) {
        navigator.Close();
        navigator.OpenInPlace(text);
        std::unique_ptr<XmlRpcValue> read = OpenValue(navigator);
        if (!read || !read->Read(navigator)) state.SkipWithError("value did not read");
        benchmark::DoNotOptimize(read.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_WriteString(benchmark::State& s) {
    WriteValue(s, XmlRpcValueString("1152921504606846976"));
}
void BM_ReadString(benchmark::State& s) {
    ReadValue(s, XmlRpcValueString("1152921504606846976"));
}
void BM_WriteInt(benchmark::State& s) {
    WriteValue(s, XmlRpcValueInt(-1234567));
}
void BM_ReadInt(benchmark::State& s) {
    ReadValue(s, XmlRpcValueInt(-1234567));
}
void BM_WriteMailStruct(benchmark::State& s) {
    WriteValue(s, *MailNotice());
}
void BM_ReadMailStruct(benchmark::State& s) {
    ReadValue(s, *MailNotice());
}

}  // namespace

BENCHMARK(BM_WriteString);
BENCHMARK(BM_ReadString);
BENCHMARK(BM_WriteInt);
BENCHMARK(BM_ReadInt);
BENCHMARK(BM_WriteMailStruct);
BENCHMARK(BM_ReadMailStruct);
