// The tests' raw client of the simulator.
#include "pbx_test_client.h"

#include "pbx/method_behavior.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/fault_response.h"

namespace voxtrel::pbx::testing {

namespace {

std::string Describe(const XmlRpcRequestMethod& request) {
    std::string text =
        std::string(ShortMethodName(request.methodType)) + " " + FormatId(request.GetId());
    if (const auto* state = dynamic_cast<const CallStateChangedMethod*>(&request)) {
        text += " " + std::to_string(state->dataParam->value);
    } else if (const auto* digit = dynamic_cast<const DtmfDigitReceivedMethod*>(&request)) {
        text += " " + std::string(1, static_cast<char>(digit->dataParam->value));
    } else if (const auto* offer = dynamic_cast<const CallArrivedMethod*>(&request)) {
        for (const char* name : {"From", "To", "OrigCallID"}) {
            auto* value = GetMemberAs<XmlRpcValueString>(*offer->dataParam, name, kXmlRpcString);
            text += " " + (value ? value->value : "-");
        }
    }
    return text;
}

}  // namespace

std::string Doc(const XmlRpcMethod& message) {
    std::string text;
    EXPECT_TRUE(message.Write(text));
    return text;
}

PartyAddress Address(std::string_view text) {
    PartyAddress address;
    ResetPartyAddress(address);
    ParsePartyAddress(text, address);
    return address;
}

PbxTestClient::PbxTestClient(uint16_t port) {
    EXPECT_TRUE(socket_.CreateTCP(false, SocketAddress(Ipv4(127, 0, 0, 1), port)));
}

bool PbxTestClient::Send(std::string_view text) {
    int length = static_cast<int>(text.size());
    return socket_.SendAll(text.data(), length, kWait) == length;
}

bool PbxTestClient::Raw(std::string& message, uint32_t wait) {
    char buffer[16 * 1024];
    while (!framer_.Next(message)) {
        if (closed_) return false;
        SocketTransfer result = socket_.Receive(buffer, sizeof buffer, wait, 0);
        if (result.status == SocketStatus::kTimedOut) return false;
        if (result.count <= 0) {
            closed_ = true;
            return false;
        }
        std::string_view received(buffer, static_cast<size_t>(result.count));
        receivedBytes += received.size();
        // Whatever the framer's limit says: a flood is counted, not judged, here.
        framer_.Append(received.data(), received.size());
        if (!received.ends_with(kMessageTerminator)) ++partialReceives;
    }
    return true;
}

bool PbxTestClient::Read(bool answer, uint32_t wait) {
    std::string message;
    while ((answer ? answers_ : requests_).empty()) {
        if (!Raw(message, wait)) return false;
        std::unique_ptr<XmlRpcRequestMethod> request = ParseRequest(message);
        if (!request) {
            transcript.push_back("answer");
            answers_.push_back(message);
            continue;
        }
        transcript.push_back(Describe(*request));
        requests_.push_back(transcript.back());
        if (request->methodType == kProcess) continue;
        XmlRpcResponseMethod acknowledgement(request->methodType);
        acknowledgement.SetId(request->GetId());
        Send(Doc(acknowledgement));
    }
    return true;
}

Reply PbxTestClient::Answer(const XmlRpcRequestMethod& request, uint32_t wait) {
    Reply reply;
    if (!Read(true, wait)) return reply;
    reply.answer = request.ParseResponse(answers_.front());
    answers_.pop_front();
    const auto* fault = dynamic_cast<const FaultResponseMethod*>(reply.answer.get());
    if (fault == nullptr || !fault->faultStruct) {
        reply.brief = reply.answer ? "answer " + FormatId(reply.answer->GetId()) : "unreadable";
        return reply;
    }
    const auto* code = GetMemberAs<XmlRpcValueInt>(*fault->faultStruct, "faultCode", kXmlRpcInt);
    const auto* text =
        GetMemberAs<XmlRpcValueString>(*fault->faultStruct, "faultString", kXmlRpcString);
    reply.brief = "fault " + (code ? std::to_string(code->value) : "?");
    reply.faultText = text ? text->value : "";
    return reply;
}

std::string PbxTestClient::Notice(uint32_t wait) {
    if (!Read(false, wait)) return "nothing";
    std::string notice = std::move(requests_.front());
    requests_.pop_front();
    return notice;
}

bool PbxTestClient::Sync() {
    // An answer read before would be taken for the sync's own.
    return answers_.empty() &&
           Call(*Make<IncomingCallHandlingMethod>("sync", 0)).brief == "answer 0";
}

bool PbxTestClient::WaitClosed() {
    std::string message;
    while (Raw(message, kWait)) {
    }
    return closed_;
}

}  // namespace voxtrel::pbx::testing
