// The tests' raw client of the simulator and the fixture's checks.
#include "pbx_test_client.h"

#include "pbx/method_behavior.h"
#include "protocol/authenticate.h"
#include "protocol/call_notifications.h"
#include "protocol/fault_response.h"

namespace voxtrel::pbx::testing {

std::string Describe(const XmlRpcRequestMethod& request) {
    std::string text =
        std::string(ShortMethodName(request.methodType)) + " " + FormatId(request.GetId());
    if (const auto* state = dynamic_cast<const CallStateChangedMethod*>(&request)) {
        text += " " + std::to_string(state->dataParam->value);
    } else if (const auto* digit = dynamic_cast<const DtmfDigitReceivedMethod*>(&request)) {
        text += " " + std::string(1, static_cast<char>(digit->dataParam->value));
    }
    return text;
}

PartyAddress Address(std::string_view text) {
    PartyAddress address;
    ResetPartyAddress(address);
    ParsePartyAddress(text, address);
    return address;
}

bool PbxTestClient::Connect(uint16_t port) {
    return socket_.CreateTCP(false, SocketAddress(Ipv4(127, 0, 0, 1), port));
}

bool PbxTestClient::SendText(std::string_view text) {
    int length = static_cast<int>(text.size());
    return socket_.SendAll(text.data(), length, kWait) == length;
}

bool PbxTestClient::Send(const XmlRpcMethod& message) {
    std::string text;
    return message.Write(text) && SendText(text);
}

bool PbxTestClient::Acknowledge(const XmlRpcRequestMethod& request) {
    XmlRpcResponseMethod answer(request.methodType);
    answer.SetId(request.GetId());
    return Send(answer);
}

bool PbxTestClient::NextRaw(std::string& message, uint32_t wait) {
    char buffer[16 * 1024];
    while (!framer_.Next(message)) {
        if (closed_) return false;
        SocketTransfer result = socket_.Receive(buffer, sizeof buffer, wait, 0);
        if (result.status == SocketStatus::kTimedOut) return false;
        int received = result.count;
        if (received <= 0) {
            closed_ = true;
            return false;
        }
        receivedBytes += static_cast<size_t>(received);
        // Whatever the framer's limit says: a flood is counted, not judged, here.
        framer_.Append(buffer, static_cast<size_t>(received));
        if (!std::string_view(buffer, static_cast<size_t>(received)).ends_with(kMessageTerminator))
            ++partialReceives;
    }
    return true;
}

void PbxTestClient::Keep(const std::string& message) {
    std::unique_ptr<XmlRpcRequestMethod> request = ParseRequest(message);
    if (!request) {
        transcript.push_back("answer");
        answers_.push_back(message);
        return;
    }
    transcript.push_back(Describe(*request));
    if (autoAcknowledge && request->methodType != kProcess) Acknowledge(*request);
    requests_.push_back(std::move(request));
}

bool PbxTestClient::NextAnswer(std::string& answer, uint32_t wait) {
    std::string message;
    while (answers_.empty()) {
        if (!NextRaw(message, wait)) return false;
        Keep(message);
    }
    answer = std::move(answers_.front());
    answers_.pop_front();
    return true;
}

std::unique_ptr<XmlRpcRequestMethod> PbxTestClient::NextRequest(uint32_t wait) {
    std::string message;
    while (requests_.empty()) {
        if (!NextRaw(message, wait)) return nullptr;
        Keep(message);
    }
    std::unique_ptr<XmlRpcRequestMethod> request = std::move(requests_.front());
    requests_.pop_front();
    return request;
}

std::string PbxTestClient::NextNotice(uint32_t wait) {
    std::unique_ptr<XmlRpcRequestMethod> request = NextRequest(wait);
    return request ? Describe(*request) : "nothing";
}

Reply PbxTestClient::ReadReply(const XmlRpcRequestMethod& request, uint32_t wait) {
    Reply reply;
    std::string text;
    if (!NextAnswer(text, wait)) return reply;
    reply.received = true;
    reply.answer = request.ParseResponse(text);
    if (!reply.answer) return reply;
    reply.id = reply.answer->GetId();
    const auto* fault = dynamic_cast<const FaultResponseMethod*>(reply.answer.get());
    if (fault != nullptr && fault->faultStruct) {
        const auto& data = *fault->faultStruct;
        if (auto* code = GetMemberAs<XmlRpcValueInt>(data, "faultCode", kXmlRpcInt))
            reply.faultCode = code->value;
        if (auto* text = GetMemberAs<XmlRpcValueString>(data, "faultString", kXmlRpcString))
            reply.faultText = text->value;
    }
    return reply;
}

Reply PbxTestClient::Call(const XmlRpcRequestMethod& request) {
    if (!Send(request)) return Reply{};
    return ReadReply(request);
}

bool PbxTestClient::Authenticate(const std::string& user, const std::string& password) {
    Reply reply = Call(*Make<AuthenticateMethod>(user, password));
    auto* answer = dynamic_cast<AuthenticateResponseMethod*>(reply.answer.get());
    return answer != nullptr && answer->success->value;
}

bool PbxTestClient::Sync() {
    // An answer read before would be taken for the sync's own.
    return answers_.empty() && Plain(Call(*Make<IncomingCallHandlingMethod>("sync", 0)), 0);
}

bool PbxTestClient::WaitClosed() {
    std::string message;
    while (NextRaw(message, kWait)) {
    }
    return closed_;
}

::testing::AssertionResult Plain(const Reply& reply, uint64_t id) {
    if (!reply.received) return ::testing::AssertionFailure() << "no answer";
    if (reply.faultCode != 0 || reply.id != id) {
        return ::testing::AssertionFailure()
               << "fault " << reply.faultCode << " " << reply.faultText << ", id " << reply.id;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Fault(const Reply& reply, int32_t code) {
    if (reply.received && reply.faultCode == code) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "received " << reply.received << ", fault "
                                         << reply.faultCode << " " << reply.faultText;
}

void WaitForState(PbxTestClient& client, uint64_t callId, int32_t state) {
    std::string expected = "callstatechanged " + FormatId(callId) + " " + std::to_string(state);
    for (int i = 0; i < 10; ++i) {
        std::string notice = client.NextNotice();
        if (notice == expected) return;
        ASSERT_NE(notice, "nothing") << "waiting for " << expected;
    }
    FAIL() << "no " << expected;
}

}  // namespace voxtrel::pbx::testing
