// The references our parse and write figures are held against, on the very bytes the protocol
// benchmark measures: pugixml's DOM, xmlrpc-c's core library and a plain std::string writer.
#include <benchmark/benchmark.h>
#include <xmlrpc-c/base.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "messages.h"

using namespace voxtrel;
using namespace std::string_view_literals;

namespace {

// What our reader takes out of a message: the method name and each param's typed value, one
// level of struct members included (no message of the protocol nests deeper).
struct ScalarValue {
    enum class Kind { kString, kInt, kDateTime } kind = Kind::kString;
    std::string text;
    int32_t number = 0;
};

struct Member {
    std::string name;
    ScalarValue value;
};

struct ParamValue {
    ScalarValue scalar;
    bool isStruct = false;
    std::vector<Member> members;
};

struct ExtractedMessage {
    std::string methodName;
    std::vector<ParamValue> params;
};

bool ReadScalar(pugi::xml_node value, ScalarValue& out) {
    pugi::xml_node typed = value.first_child();
    // A value without a type element is a string.
    if (!typed || typed.type() == pugi::node_pcdata) {
        out.text = value.child_value();
        return true;
    }
    std::string_view type = typed.name();
    const char* text = typed.child_value();
    if (type == "string"sv) {
        out.text = text;
    } else if (type == "int"sv || type == "i4"sv) {
        out.kind = ScalarValue::Kind::kInt;
        const char* end = text + std::strlen(text);
        return std::from_chars(text, end, out.number).ptr == end;
    } else if (type == "dateTime.iso8601"sv) {
        out.kind = ScalarValue::Kind::kDateTime;
        out.text = text;
    } else {
        return false;
    }
    return true;
}

bool ReadParam(pugi::xml_node value, ParamValue& out) {
    pugi::xml_node members = value.child("struct");
    if (!members) return ReadScalar(value, out.scalar);
    out.isStruct = true;
    for (pugi::xml_node member : members.children("member")) {
        Member& read = out.members.emplace_back();
        read.name = member.child_value("name");
        if (!ReadScalar(member.child("value"), read.value)) return false;
    }
    return true;
}

bool Extract(const pugi::xml_document& document, ExtractedMessage& out) {
    pugi::xml_node root = document.document_element();
    if (root.name() == "methodCall"sv) {
        out.methodName = root.child_value("methodName");
    } else if (root.name() != "methodResponse"sv) {
        return false;
    }
    for (pugi::xml_node param : root.child("params").children("param")) {
        if (!ReadParam(param.child("value"), out.params.emplace_back())) return false;
    }
    return !out.params.empty();
}

// A fresh document per message, as our reader gets a fresh navigator per message; load_buffer
// copies the text as our reader copies it into its own buffer. Reusing one document would gain
// little: load_buffer resets it first, which frees the pages of the previous parse.
void PugixmlParse(benchmark::State& state, const bench::NamedMessage* named) {
    const std::string text = bench::MessageText(*named);
    for (auto _ : state) {
        pugi::xml_document document;
        pugi::xml_parse_result result = document.load_buffer(text.data(), text.size());
        if (!result) state.SkipWithError(result.description());
        benchmark::DoNotOptimize(document.first_child().internal_object());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The DOM parse plus copying out what our reader keeps: owned strings and converted integers.
void PugixmlExtract(benchmark::State& state, const bench::NamedMessage* named) {
    const std::string text = bench::MessageText(*named);
    for (auto _ : state) {
        pugi::xml_document document;
        ExtractedMessage message;
        if (!document.load_buffer(text.data(), text.size()) || !Extract(document, message)) {
            state.SkipWithError("pugixml: the message did not read");
        }
        benchmark::DoNotOptimize(message.params.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// xmlrpc-c takes only the ISO 8601 basic form of a dateTime (20060504T13:02:01), not the
// "2006-05-04 13:02:01" that the service writes; the text handed to it has them rewritten.
std::string WithBasicDateTimes(std::string text) {
    constexpr std::string_view kOpen = "<dateTime.iso8601>";
    for (size_t at = text.find(kOpen); at != std::string::npos; at = text.find(kOpen, at)) {
        at += kOpen.size();
        std::string_view value = std::string_view(text).substr(at, 19);
        if (value.size() == 19 && value[4] == '-' && value[7] == '-' && value[10] == ' ') {
            std::string basic = std::string(value.substr(0, 4)) + std::string(value.substr(5, 2)) +
                                std::string(value.substr(8, 2)) + "T" +
                                std::string(value.substr(11));
            text.replace(at, 19, basic);
        }
    }
    return text;
}

// The text xmlrpc-c reads in place of ours, labelled when it differs.
std::string XmlrpcCText(benchmark::State& state, const bench::NamedMessage* named) {
    std::string text = bench::MessageText(*named);
    std::string accepted = WithBasicDateTimes(text);
    if (accepted != text) state.SetLabel("dateTime rewritten to the basic form");
    return accepted;
}

// Reads a call or response into xmlrpc-c's values: the method name and the params array, or the
// result value. Returns the values (one reference owned by the caller), null on a fault.
xmlrpc_value* XmlrpcCRead(xmlrpc_env& env, const std::string& text, bool response,
                          const char** methodName) {
    xmlrpc_value* values = nullptr;
    *methodName = nullptr;
    if (response) {
        int faultCode = 0;
        const char* faultString = nullptr;
        xmlrpc_parse_response2(&env, text.data(), text.size(), &values, &faultCode, &faultString);
        if (faultString != nullptr) std::free(const_cast<char*>(faultString));
    } else {
        xmlrpc_parse_call(&env, text.data(), text.size(), methodName, &values);
    }
    return env.fault_occurred ? nullptr : values;
}

void XmlrpcCParse(benchmark::State& state, const bench::NamedMessage* named) {
    const std::string text = XmlrpcCText(state, named);
    for (auto _ : state) {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        const char* methodName = nullptr;
        xmlrpc_value* values = XmlrpcCRead(env, text, named->answers != nullptr, &methodName);
        if (values == nullptr) state.SkipWithError(env.fault_string);
        benchmark::DoNotOptimize(values);
        if (values != nullptr) xmlrpc_DECREF(values);
        std::free(const_cast<char*>(methodName));
        xmlrpc_env_clean(&env);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Serializes values read once from the same message into a fresh memory block per message, as
// our writer writes into a fresh string. xmlrpc-c's layout differs from ours (an encoding in the
// declaration, <i4>, each param on one line), so the byte counts differ a little.
void XmlrpcCWrite(benchmark::State& state, const bench::NamedMessage* named) {
    const std::string text = XmlrpcCText(state, named);
    const bool response = named->answers != nullptr;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    const char* methodName = nullptr;
    xmlrpc_value* values = XmlrpcCRead(env, text, response, &methodName);
    if (values == nullptr) {
        state.SkipWithError(env.fault_string);
        xmlrpc_env_clean(&env);
        return;
    }
    size_t written = 0;
    for (auto _ : state) {
        xmlrpc_mem_block* out = xmlrpc_mem_block_new(&env, 0);
        if (response) {
            xmlrpc_serialize_response(&env, out, values);
        } else {
            xmlrpc_serialize_call(&env, out, methodName, values);
        }
        if (env.fault_occurred) state.SkipWithError(env.fault_string);
        benchmark::DoNotOptimize(xmlrpc_mem_block_contents(out));
        written = xmlrpc_mem_block_size(out);
        xmlrpc_mem_block_free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * written));
    xmlrpc_DECREF(values);
    std::free(const_cast<char*>(methodName));
    xmlrpc_env_clean(&env);
}

// The plain writers: each message's layout spelt out as appends to a std::string, the values
// taken from variables. They reserve what our writer reserves, so that the comparison measures
// the layout's cost and not the string's growth.
constexpr size_t kPlainReserve = 1024;

void AppendInt(std::string& out, int32_t value) {
    char digits[16];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void AppendStringParam(std::string& out, const std::string& value) {
    out += "<param>\r\n<value><string>"sv;
    out += value;
    out += "</string></value>\r\n</param>\r\n"sv;
}

void AppendIntParam(std::string& out, int32_t value) {
    out += "<param>\r\n<value><int>"sv;
    AppendInt(out, value);
    out += "</int></value>\r\n</param>\r\n"sv;
}

void WriteCreateCall(std::string& out, const ExtractedMessage& values) {
    out +=
        "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>"
        "Services.CallProcessingService.createcall</methodName>\r\n<params>\r\n"sv;
    AppendStringParam(out, values.params[0].scalar.text);
    AppendStringParam(out, values.params[1].scalar.text);
    AppendStringParam(out, values.params[2].scalar.text);
    out += "</params>\r\n</methodCall>\r\n\r\n"sv;
}

void WriteCallStateChanged(std::string& out, const ExtractedMessage& values) {
    out +=
        "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>"
        "Services.CallProcessingService.callstatechanged</methodName>\r\n<params>\r\n"sv;
    AppendStringParam(out, values.params[0].scalar.text);
    AppendIntParam(out, values.params[1].scalar.number);
    out += "</params>\r\n</methodCall>\r\n\r\n"sv;
}

void WriteMailArrived(std::string& out, const ExtractedMessage& values) {
    const std::vector<Member>& members = values.params[1].members;
    out +=
        "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>"
        "Services.CallProcessingService.mailarrived</methodName>\r\n<params>\r\n"sv;
    AppendStringParam(out, values.params[0].scalar.text);
    out += "<param>\r\n<value><struct>\r\n<member>\r\n<name>From</name>\r\n<value><string>"sv;
    out += members[0].value.text;
    out +=
        "</string></value>\r\n</member>\r\n<member>\r\n<name>Time</name>\r\n"
        "<value><dateTime.iso8601>"sv;
    out += members[1].value.text;
    out +=
        "</dateTime.iso8601></value>\r\n</member>\r\n<member>\r\n<name>Duration</name>\r\n"
        "<value><int>"sv;
    AppendInt(out, members[2].value.number);
    out += "</int></value>\r\n</member>\r\n<member>\r\n<name>MailID</name>\r\n<value><int>"sv;
    AppendInt(out, members[3].value.number);
    out +=
        "</int></value>\r\n</member>\r\n</struct></value>\r\n</param>\r\n"
        "</params>\r\n</methodCall>\r\n\r\n"sv;
}

void WriteAnswer(std::string& out, const ExtractedMessage& values) {
    out += "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n<params>\r\n"sv;
    AppendStringParam(out, values.params[0].scalar.text);
    out += "</params>\r\n</methodResponse>\r\n\r\n"sv;
}

struct PlainWriter {
    const char* name;
    void (*write)(std::string& out, const ExtractedMessage& values);
};

constexpr PlainWriter kPlainWriters[] = {
    {"createcall", WriteCreateCall},
    {"callstatechanged", WriteCallStateChanged},
    {"mailarrived", WriteMailArrived},
    {"answer", WriteAnswer},
};

// The values come from reading our own text, so that they follow the measured messages; the
// writer's first output must equal our writer's bytes, or the figure means nothing.
void StringWrite(benchmark::State& state, const bench::NamedMessage* named) {
    const PlainWriter* writer = nullptr;
    for (const PlainWriter& candidate : kPlainWriters) {
        if (std::strcmp(candidate.name, named->name) == 0) writer = &candidate;
    }
    pugi::xml_document document;
    ExtractedMessage values;
    const std::string text = bench::MessageText(*named);
    if (writer == nullptr || !document.load_buffer(text.data(), text.size()) ||
        !Extract(document, values)) {
        state.SkipWithError("no plain writer for this message");
        return;
    }
    std::string ours;
    named->make()->Write(ours);
    std::string plain;
    writer->write(plain, values);
    if (plain != ours) {
        state.SkipWithError("the plain writer's bytes differ from ours");
        return;
    }
    benchmark::DoNotOptimize(&values);
    for (auto _ : state) {
        std::string out;
        out.reserve(kPlainReserve);
        writer->write(out, values);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ours.size()));
}

void Register() {
    struct Reference {
        const char* prefix;
        void (*run)(benchmark::State&, const bench::NamedMessage*);
    };
    const Reference references[] = {
        {"BM_PugixmlParse/", PugixmlParse}, {"BM_PugixmlExtract/", PugixmlExtract},
        {"BM_XmlrpcCParse/", XmlrpcCParse}, {"BM_XmlrpcCWrite/", XmlrpcCWrite},
        {"BM_StringWrite/", StringWrite},
    };
    for (const Reference& reference : references) {
        for (const auto& message : bench::kMessages) {
            benchmark::RegisterBenchmark((std::string(reference.prefix) + message.name).c_str(),
                                         reference.run, &message);
        }
    }
}

const bool registered = (Register(), true);

}  // namespace
