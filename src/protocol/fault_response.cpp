// Writing, reading and dispatch of fault answers.
#include "protocol/fault_response.h"

#include "protocol/call_service_notifications.h"
namespace voxtrel {

using namespace std::string_view_literals;

bool FaultResponseMethod::Write(std::string& out) const {
    if (!faultStruct) return false;
    XmlRpcMethod::Write(out);
    return XmlRpcWriter::Into(out, [this](XmlRpcWriter& writer) {
        writer.Put("<methodResponse>\r\n<fault>\r\n"sv);
        if (!faultStruct->Write(writer)) return false;
        writer.Put("</fault>\r\n</methodResponse>\r\n\r\n"sv);
        return true;
    });
}

void FaultResponseMethod::Dispatch(CallServiceNotifications& session) {
    if (!faultStruct) return;
    auto* code = GetMemberAs<XmlRpcValueInt>(*faultStruct, "faultCode", kXmlRpcInt);
    if (code == nullptr) return;
    auto* text = GetMemberAs<XmlRpcValueString>(*faultStruct, "faultString", kXmlRpcString);
    session.OnRequestFailed(GetId(), code->value, text != nullptr ? text->value : std::string());
}

bool FaultResponseMethod::ReadFault(XMLNavigator& navigator) {
    std::unique_ptr<XmlRpcValue> value = OpenValue(navigator);
    if (!value || value->valueType != kXmlRpcStruct || !value->Read(navigator)) return false;
    faultStruct.reset(static_cast<XmlRpcValueStruct*>(value.release()));
    navigator.SkipElement();
    navigator.SkipElement();
    return true;
}

bool FaultResponseMethod::SetParams(int32_t code, const std::string& text) {
    if (!faultStruct) faultStruct = std::make_unique<XmlRpcValueStruct>();
    faultStruct->SetMember("faultCode", std::make_unique<XmlRpcValueInt>(code));
    if (!text.empty()) {
        faultStruct->SetMember("faultString", std::make_unique<XmlRpcValueString>(text));
    }
    return true;
}

}  // namespace voxtrel
