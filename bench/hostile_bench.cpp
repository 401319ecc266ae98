// Cost per megabyte received of the worst inputs a peer can send (many attributes, deep nesting,
// carriage-return floods in small receives) next to a stream of ordinary messages, each taken
// through the framer and the readings that the session runs on every message.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "messages.h"
#include "protocol/call_control.h"
#include "protocol/message_framer.h"

using namespace voxtrel;

namespace {

// What a stream may hold, less room for the terminator: each input is one receive buffer's worth.
constexpr size_t kBudget = MessageFramer::kDefaultLimit - 64;

const std::string kDeclaration = "<?xml version=\"1.0\"?>\r\n";

std::string CallHead(const char* method) {
    return kDeclaration + "<methodCall>\r\n<methodName>Services.CallProcessingService." + method +
           "</methodName>\r\n<params>\r\n";
}

// Appends piece while the text stays within the budget less reserve.
void Fill(std::string& text, const std::string& piece, size_t reserve) {
    while (text.size() + piece.size() + reserve < kBudget)
        text += piece;
}

// Back-to-back callstatechanged notifications as this side writes them.
std::string OrdinaryStream() {
    std::string message;
    bench::CallStateChangedMessage()->Write(message);
    std::string stream;
    Fill(stream, message, 0);
    return stream;
}

// A fault answer whose struct holds one string full of tags with the most attributes a tag may
// have, all names of one length so that the duplicate check compares each in full. The request
// reading gives up at the root; the plain answer at "fault"; the fault answer reads it all.
std::string ManyAttributesMessage() {
    std::string tag = "<x";
    for (uint32_t i = 0; i < XMLScanner::kMaxAttributes; ++i) {
        std::string digits = std::to_string(100 + i);
        tag += " " + std::string(29, 'n') + digits + "=''";
    }
    tag += "/>";
    std::string text = kDeclaration +
                       "<methodResponse>\r\n<fault>\r\n<value><struct>\r\n<member>\r\n"
                       "<name>faultString</name>\r\n<value><string>";
    const std::string tail =
        "</string></value></member>\r\n</struct></value>\r\n</fault>\r\n</methodResponse>";
    Fill(text, tag, tail.size());
    return text + tail + "\r\n\r\n";
}

// One start tag of attributes up to the budget: the attribute bound ends it after 64.
std::string OneWideTagMessage() {
    std::string text = kDeclaration + "<methodCall";
    for (uint32_t i = 0; text.size() + 32 < kBudget; ++i)
        text += " a" + std::to_string(i) + "=''";
    return text + ">\r\n\r\n";
}

// A playmessage whose optional third param nests values through empty-element tags: the value
// bound stops the reading, and the rest of the param is read past to look for a fourth.
std::string DeepValuesMessage() {
    std::string text = CallHead("playmessage") +
                       "<param>\r\n<value><string>1</string></value>\r\n</param>\r\n"
                       "<param>\r\n<value><string>a.wav</string></value>\r\n</param>\r\n"
                       "<param>\r\n<value><array><data>";
    const std::string tail = "</data></array></value>\r\n</param>\r\n</params>\r\n</methodCall>";
    Fill(text, "<value/><array/><data/>", tail.size());
    return text + tail + "\r\n\r\n";
}

// A callstatechanged whose first param opens arrays without end: the element bound stops it.
std::string DeepElementsMessage() {
    std::string text = CallHead("callstatechanged") + "<param>\r\n";
    Fill(text, "<value><array><data>", 4);
    return text + "\r\n\r\n";
}

// Carriage returns and line feeds that each look like the start of a terminator, and one
// terminator at the very end.
std::string CarriageReturnFlood() {
    std::string text;
    Fill(text, "\r\n\r\r", 4);
    return text + "\r\n\r\n";
}

// The session's path for a stream: receives of the given size into the framer, then for each
// message the request reading and, when that fails, the answer reading for a waiting request.
void Receive(benchmark::State& state, std::string (*make)(), size_t piece) {
    const std::string stream = make();
    CloseCallMethod waiting;
    int64_t messages = 0;
    for (auto _ : state) {
        MessageFramer framer;
        std::string message;
        for (size_t at = 0; at < stream.size(); at += piece) {
            if (!framer.Append(stream.data() + at, std::min(piece, stream.size() - at))) {
                state.SkipWithError("the framer refused the stream");
                return;
            }
            while (framer.Next(message)) {
                ++messages;
                std::unique_ptr<XmlRpcRequestMethod> request = ParseRequest(message);
                if (!request) benchmark::DoNotOptimize(waiting.ParseResponse(message));
                benchmark::DoNotOptimize(request.get());
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["messages"] =
        benchmark::Counter(static_cast<double>(messages) / static_cast<double>(state.iterations()));
    // Time per megabyte received: the figure to hold against the ordinary stream's.
    state.counters["per_MB"] = benchmark::Counter(
        static_cast<double>(stream.size()) / 1e6,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Register() {
    struct Input {
        const char* name;
        std::string (*make)();
        size_t piece;
    };
    const Input inputs[] = {
        {"ordinary/1460", OrdinaryStream, 1460},
        {"many_attributes/1460", ManyAttributesMessage, 1460},
        {"one_wide_tag/1460", OneWideTagMessage, 1460},
        {"deep_values/1460", DeepValuesMessage, 1460},
        {"deep_elements/1460", DeepElementsMessage, 1460},
        {"cr_flood/16", CarriageReturnFlood, 16},
        {"cr_flood/1", CarriageReturnFlood, 1},
    };
    for (const Input& input : inputs) {
        benchmark::RegisterBenchmark((std::string("BM_Receive/") + input.name).c_str(), Receive,
                                     input.make, input.piece)
            ->Unit(benchmark::kMillisecond);
    }
}

const bool registered = (Register(), true);

}  // namespace
