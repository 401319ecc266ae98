// The message framework: method table, ids, document writing and reading.
#include "protocol/xmlrpc_method.h"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

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

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\"?>\r\n";

// The text before a request's params: the declaration, the methodCall and methodName lines. The
// longest method name makes it 115 bytes.
using RequestHead = TextRun<128>;

constexpr std::array<RequestHead, kMethodCount> MakeRequestHeads() {
    std::array<RequestHead, kMethodCount> heads;
    for (uint32_t type = 0; type < kMethodCount; ++type) {
        heads[type] = {kXmlDeclaration, "<methodCall>\r\n<methodName>", kMethodNames[type],
                       "</methodName>\r\n"};
    }
    return heads;
}

constexpr std::array<RequestHead, kMethodCount> kRequestHeads = MakeRequestHeads();
constexpr TextRun<48> kResponseHead = {kXmlDeclaration, "<methodResponse>\r\n"};

// The text after the params.
using DocumentTail = TextRun<48>;
constexpr DocumentTail kRequestTail = {"</params>\r\n</methodCall>\r\n\r\n"};
constexpr DocumentTail kResponseTail = {"</params>\r\n</methodResponse>\r\n\r\n"};

constexpr size_t kWriteReserve = 1024;

void ReserveForMessage(std::string& out) {
    if (out.capacity() < kWriteReserve) out.reserve(kWriteReserve);
}

void AppendDeclaration(std::string& out) {
    ReserveForMessage(out);
    out += kXmlDeclaration;
}

// Writes a whole document: the head, the params element with each present value, the tail; false
// when a value fails.
template <size_t Width>
bool WriteDocument(std::string& out, const TextRun<Width>& head,
                   std::initializer_list<const XmlRpcValue*> params, const DocumentTail& tail) {
    ReserveForMessage(out);
    return XmlRpcWriter::Into(out, [&](XmlRpcWriter& writer) {
        writer.Put(head, "<params>\r\n"sv);
        for (const XmlRpcValue* value : params) {
            if (value != nullptr && !value->Write(writer, ValuePlace::kParam)) return false;
        }
        writer.Put(tail);
        return true;
    });
}

}  // namespace

const char* MethodName(uint32_t methodType) {
    return methodType < kMethodCount ? kMethodNames[methodType].data() : nullptr;
}

std::string_view MethodNameView(uint32_t methodType) {
    return methodType < kMethodCount ? kMethodNames[methodType] : std::string_view();
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
    ReserveForMessage(out);
    const RequestHead& head = kRequestHeads[methodType];
    out.append(head.text, head.size);
    return true;
}

bool XmlRpcRequestMethod::WriteRequest(std::string& out,
                                       std::initializer_list<const XmlRpcValue*> params) const {
    if (methodType >= kMethodCount) return false;
    return WriteDocument(out, kRequestHeads[methodType], params, kRequestTail);
}

std::unique_ptr<XmlRpcResponseMethod> XmlRpcRequestMethod::CreateResponse(bool fault) const {
    if (fault) return std::make_unique<FaultResponseMethod>(methodType);
    return std::make_unique<XmlRpcResponseMethod>(methodType);
}

std::unique_ptr<XmlRpcResponseMethod> XmlRpcRequestMethod::ParseResponse(
    std::string_view text) const {
    MessageReader reader;
    if (reader.Open(text) != MessageReader::Root::kMethodResponse) return nullptr;
    return reader.ReadResponse(*this);
}

bool XmlRpcResponseMethod::WriteResponse(std::string& out,
                                         std::initializer_list<const XmlRpcValue*> params) const {
    return WriteDocument(out, kResponseHead, params, kResponseTail);
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
    MessageReader reader;
    return reader.Open(text) == MessageReader::Root::kMethodResponse && reader.ReadAnswer(*this);
}

std::unique_ptr<XmlRpcRequestMethod> ParseRequest(std::string_view text) {
    MessageReader reader;
    if (reader.Open(text) != MessageReader::Root::kMethodCall) return nullptr;
    return reader.ReadRequest();
}

MessageReader::Root MessageReader::Open(std::string_view text) {
    navigator_.Close();
    text_ = text;
    root_ = Root::kOther;
    // Positions in a document are 32-bit: no text longer than a buffer of the reader holds is read.
    if (text.size() > CharBuffer::kMaxLength) return root_;
    navigator_.OpenInPlace(text);
    if (const XMLElement* root = navigator_.NextElement()) {
        if (EqualsIgnoreCase(root->name, "methodCall")) {
            root_ = Root::kMethodCall;
        } else if (EqualsIgnoreCase(root->name, "methodResponse")) {
            root_ = Root::kMethodResponse;
        }
    }
    return root_;
}

std::unique_ptr<XmlRpcRequestMethod> MessageReader::ReadRequest() {
    if (std::exchange(root_, Root::kOther) != Root::kMethodCall ||
        !ExpectElement(navigator_, "methodName")) {
        return nullptr;
    }
    std::string_view name;
    navigator_.ReadText(name);
    navigator_.SkipElement();
    if (!ExpectElement(navigator_, "params")) return nullptr;
    std::unique_ptr<XmlRpcRequestMethod> request = CreateRequest(name);
    if (!request || !request->ReadParams(navigator_) || navigator_.LimitExceeded()) return nullptr;
    return request;
}

bool MessageReader::OpenPart(bool& params) {
    const XMLElement* part = navigator_.NextElement();
    if (part == nullptr) return false;
    params = EqualsIgnoreCase(part->name, "params");
    return params || EqualsIgnoreCase(part->name, "fault");
}

bool MessageReader::ReadPart(XmlRpcResponseMethod& answer, bool params) {
    bool read = params ? answer.ReadParams(navigator_) : answer.ReadFault(navigator_);
    return read && !navigator_.LimitExceeded();
}

bool MessageReader::ReadAnswer(XmlRpcResponseMethod& answer) {
    bool params = false;
    return std::exchange(root_, Root::kOther) == Root::kMethodResponse && OpenPart(params) &&
           ReadPart(answer, params);
}

std::unique_ptr<XmlRpcResponseMethod> MessageReader::ReadResponse(
    const XmlRpcRequestMethod& request) {
    bool params = false;
    if (std::exchange(root_, Root::kOther) != Root::kMethodResponse || !OpenPart(params)) {
        // Where the class's answer does not read, no more does the fault.
        return nullptr;
    }
    const XMLNavigator::Mark start = navigator_.Where();
    std::unique_ptr<XmlRpcResponseMethod> answer = request.CreateResponse(false);
    if (ReadPart(*answer, params)) return answer;
    answer = request.CreateResponse(true);
    // An answer class without a fault of its own reads nothing of one, so the fault reads on from
    // where it stopped; after a reading that went further, it reads the document afresh.
    bool read =
        navigator_.Where() == start ? ReadPart(*answer, params) : answer->ReadDocument(text_);
    return read ? std::move(answer) : nullptr;
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
    return navigator.NextElement() != nullptr;
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
