// The tests' raw client of the simulator.
#include "pbx_test_client.h"

#include "protocol/authenticate.h"
#include "protocol/call_notifications.h"
#include "protocol/fault_response.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx::testing {

std::string Describe(const XmlRpcRequestMethod& request) {
    const char* name = MethodName(request.methodType);
    std::string text = std::string(name).substr(std::string_view(name).rfind('.') + 1);
    text += " " + FormatId(request.GetId());
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

bool PbxTestClient::ReceiveSome(uint32_t wait) {
    char buffer[16 * 1024];
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
    std::string_view tail(buffer, static_cast<size_t>(received));
    if (tail.size() < kMessageTerminator.size() ||
        tail.substr(tail.size() - kMessageTerminator.size()) != kMessageTerminator) {
        ++partialReceives;
    }
    return true;
}

bool PbxTestClient::Next(std::string& message, uint32_t wait) {
    while (!framer_.Next(message)) {
        if (!ReceiveSome(wait)) return false;
    }
    return true;
}

bool PbxTestClient::NextRaw(std::string& message, uint32_t wait) {
    return Next(message, wait);
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
        if (!Next(message, wait)) return false;
        Keep(message);
    }
    answer = std::move(answers_.front());
    answers_.pop_front();
    return true;
}

std::unique_ptr<XmlRpcRequestMethod> PbxTestClient::NextRequest(uint32_t wait) {
    std::string message;
    while (requests_.empty()) {
        if (!Next(message, wait)) return nullptr;
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
    if (const auto* fault = dynamic_cast<const FaultResponseMethod*>(reply.answer.get())) {
        reply.fault = true;
        if (fault->faultStruct) {
            if (auto* code =
                    GetMemberAs<XmlRpcValueInt>(*fault->faultStruct, "faultCode", kXmlRpcInt)) {
                reply.faultCode = code->value;
            }
            if (auto* text = GetMemberAs<XmlRpcValueString>(*fault->faultStruct, "faultString",
                                                            kXmlRpcString)) {
                reply.faultText = text->value;
            }
        }
    }
    return reply;
}

Reply PbxTestClient::Call(const XmlRpcRequestMethod& request) {
    if (!Send(request)) return Reply{};
    return ReadReply(request);
}

bool PbxTestClient::Authenticate(const std::string& user, const std::string& password) {
    AuthenticateMethod request;
    request.SetParams(user, password);
    Reply reply = Call(request);
    auto* answer = dynamic_cast<AuthenticateResponseMethod*>(reply.answer.get());
    return answer != nullptr && answer->success->value;
}

bool PbxTestClient::Sync() {
    // An answer read before would be taken for the sync's own.
    if (!answers_.empty()) return false;
    IncomingCallHandlingMethod request;
    request.SetParams("sync", 0);
    Reply reply = Call(request);
    return reply.received && !reply.fault;
}

bool PbxTestClient::WaitClosed(uint32_t wait) {
    std::string message;
    while (Next(message, wait)) {
    }
    return closed_;
}

}  // namespace voxtrel::pbx::testing
