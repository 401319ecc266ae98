// The message framework: method table, ids, document writing and reading.
#include "protocol/xmlrpc_method.h"

#include <charconv>
#include <string_view>

#include "protocol/fault_response.h"

namespace voxtrel {

using namespace std::string_view_literals;

namespace {

// Views keep the lengths at hand for the writer; each still ends with its literal's zero.
constexpr std::string_view kMethodNames[kMethodCount] = {
    "Services.CallProcessingService.createcall",
    "Services.CallProcessingService.closecall",
    "Services.CallProcessingService.transfercall",
    "Services.CallProcessingService.joincalls",
    "Services.CallProcessingService.unjoincalls",
    "Services.CallProcessingService.callstatechanged",
    "Services.CallProcessingService.playmessage",
    "Services.CallProcessingService.messageplayed",
    "Services.CallProcessingService.enabledtmfdetection",
    "Services.CallProcessingService.dtmfdigitdetected",
    "Services.CallProcessingService.incomingcallhandling",
    "Services.CallProcessingService.process",
    "Services.CallProcessingService.authenticate",
    "Services.CallProcessingService.subscribe",
    "Services.CallProcessingService.unsubscribe",
    "Services.CallProcessingService.mailarrived",
};

constexpr size_t kWriteReserve = 1024;

void AppendDeclaration(std::string& out) {
    if (out.capacity() < kWriteReserve) out.reserve(kWriteReserve);
    out += "<?xml version=\"1.0\"?>\r\n"sv;
}

// Appends "<param>", each present value, "</param>" per param; false when a value fails.
bool AppendParams(std::string& out, std::initializer_list<const XmlRpcValue*> params) {
    out += "<params>\r\n"sv;
    for (const XmlRpcValue* value : params) {
        if (value == nullptr) continue;
        out += "<param>\r\n"sv;
        if (!value->Write(out)) return false;
        out += "</param>\r\n"sv;
    }
    out += "</params>\r\n"sv;
    return true;
}

// A fresh navigator over a copy of one message's text.
bool OpenDocument(XMLNavigator& navigator, std::string_view text) {
    CharBuffer document;
    if (!text.empty() && !document.Append(text.data(), static_cast<uint32_t>(text.size()))) {
        return false;
    }
    return navigator.Open(document);
}

}  // namespace

const char* MethodName(uint32_t methodType) {
    return methodType < kMethodCount ? kMethodNames[methodType].data() : nullptr;
}

std::string FormatId(uint64_t id) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, id);
    return std::string(digits, result.ptr);
}

uint64_t ParseId(std::string_view text) {
    uint64_t id = 0;
    for (char c : text) {
        // The character's code as a signed byte, as the service's side counts it.
        int64_t digit = static_cast<int64_t>(static_cast<signed char>(c)) - '0';
        id = id * 10 + static_cast<uint64_t>(digit);
    }
    return id;
}

bool XmlRpcMethod::Write(std::string& out) const {
    AppendDeclaration(out);
    return true;
}

uint64_t XmlRpcMethod::GetId() const {
    return idParam ? ParseId(idParam->value) : 0;
}

bool XmlRpcRequestMethod::Write(std::string& out) const {
    if (methodType >= kMethodCount) return false;
    XmlRpcMethod::Write(out);
    out += "<methodCall>\r\n<methodName>"sv;
    out += kMethodNames[methodType];
    out += "</methodName>\r\n"sv;
    return true;
}

bool XmlRpcRequestMethod::WriteRequest(std::string& out,
                                       std::initializer_list<const XmlRpcValue*> params) const {
    if (!XmlRpcRequestMethod::Write(out) || !AppendParams(out, params)) return false;
    out += "</methodCall>\r\n\r\n"sv;
    return true;
}

std::unique_ptr<XmlRpcResponseMethod> XmlRpcRequestMethod::CreateResponse(bool fault) const {
    if (fault) return std::make_unique<FaultResponseMethod>(methodType);
    return std::make_unique<XmlRpcResponseMethod>(methodType);
}

std::unique_ptr<XmlRpcResponseMethod> XmlRpcRequestMethod::ParseResponse(
    std::string_view text) const {
    for (bool fault : {false, true}) {
        std::unique_ptr<XmlRpcResponseMethod> answer = CreateResponse(fault);
        if (answer->ReadDocument(text)) return answer;
    }
    return nullptr;
}

bool XmlRpcResponseMethod::WriteResponse(std::string& out,
                                         std::initializer_list<const XmlRpcValue*> params) const {
    XmlRpcMethod::Write(out);
    out += "<methodResponse>\r\n"sv;
    if (!AppendParams(out, params)) return false;
    out += "</methodResponse>\r\n\r\n"sv;
    return true;
}

bool XmlRpcResponseMethod::Write(std::string& out) const {
    if (!idParam) return false;
    return WriteResponse(out, {idParam.get()});
}

bool XmlRpcResponseMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam);
}

bool XmlRpcResponseMethod::SetId(uint64_t id) {
    SetIdText(idParam, id);
    return true;
}

bool XmlRpcResponseMethod::ReadFault(XMLNavigator&) {
    return false;
}

bool XmlRpcResponseMethod::ReadDocument(std::string_view text) {
    XMLNavigator navigator;
    if (!OpenDocument(navigator, text) || !ExpectElement(navigator, "methodResponse")) {
        return false;
    }
    XMLElement& part = navigator.ScratchElement();
    if (!navigator.NextElement(part)) return false;
    bool read = false;
    if (EqualsIgnoreCase(part.name, "params")) {
        read = ReadParams(navigator);
    } else if (EqualsIgnoreCase(part.name, "fault")) {
        read = ReadFault(navigator);
    }
    return read && !navigator.LimitExceeded();
}

std::unique_ptr<XmlRpcRequestMethod> ParseRequest(std::string_view text) {
    XMLNavigator navigator;
    if (!OpenDocument(navigator, text) || !ExpectElement(navigator, "methodCall") ||
        !ExpectElement(navigator, "methodName")) {
        return nullptr;
    }
    XmlRpcValueString name;
    name.Read(navigator);
    if (!ExpectElement(navigator, "params")) return nullptr;
    std::unique_ptr<XmlRpcRequestMethod> request = CreateRequest(name.value);
    if (!request || !request->ReadParams(navigator) || navigator.LimitExceeded()) return nullptr;
    return request;
}

ParamStatus ReadParam(XMLNavigator& navigator, int32_t expectedType,
                      std::unique_ptr<XmlRpcValue>& value) {
    value.reset();
    if (!ExpectElement(navigator, "param")) return ParamStatus::kMissing;
    std::unique_ptr<XmlRpcValue> read = OpenValue(navigator);
    if (!read) return ParamStatus::kNoValue;
    bool readable = read->Read(navigator);
    if (!readable || read->valueType != expectedType) {
        if (readable) {
            navigator.SkipElement();
            navigator.SkipElement();
        }
        return ParamStatus::kUnreadable;
    }
    navigator.SkipElement();
    navigator.SkipElement();
    value = std::move(read);
    return ParamStatus::kRead;
}

bool HasMoreElements(XMLNavigator& navigator) {
    return navigator.NextElement(navigator.ScratchElement());
}

void SetIdText(std::unique_ptr<XmlRpcValueString>& field, uint64_t id) {
    SetString(field, FormatId(id));
}

void SetString(std::unique_ptr<XmlRpcValueString>& field, std::string_view text) {
    if (!field) field = std::make_unique<XmlRpcValueString>();
    field->value = text;
}

void SetInt(std::unique_ptr<XmlRpcValueInt>& field, int32_t value) {
    if (!field) field = std::make_unique<XmlRpcValueInt>();
    field->value = value;
}

void SetBool(std::unique_ptr<XmlRpcValueBool>& field, bool value) {
    if (!field) field = std::make_unique<XmlRpcValueBool>();
    field->value = value;
}

}  // namespace voxtrel
