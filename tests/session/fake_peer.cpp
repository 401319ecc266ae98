// The scripted service of the session tests.
#include "fake_peer.h"

#include <chrono>
#include <thread>

#include "protocol/xmlrpc_method.h"

namespace voxtrel::testing {

FakePeer::FakePeer() : listener_(std::make_unique<BsdSocket>(false)) {
    listener_->CreateTCP(true, SocketAddress(Ipv4(127, 0, 0, 1), 0));
    port_ = listener_->GetSelfPort();
}

bool FakePeer::AcceptWithin(std::chrono::milliseconds limit) {
    CloseConnection();
    listener_->SetBlocking(false);
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto client = std::make_unique<BsdSocket>(false);
        if (listener_->Accept(*client) == SocketStatus::kDone) {
            client->SetBlocking(true);
            connection_ = std::move(client);
            framer_.Clear();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool FakePeer::NextMessage(std::string& message, int seconds) {
    message.clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!framer_.Next(message)) {
        if (!connection_ || std::chrono::steady_clock::now() >= deadline) return false;
        char chunk[4096];
        // 200 ms in microseconds: the time-out argument counts microseconds above an hour.
        SocketTransfer received = connection_->Receive(chunk, sizeof chunk, 200000, 0);
        if (received.count > 0) {
            framer_.Append(chunk, static_cast<size_t>(received.count));
        } else if (received.status == SocketStatus::kClosed ||
                   received.status == SocketStatus::kFailed) {
            connection_.reset();
        }
    }
    return true;
}

bool FakePeer::Send(const std::string& bytes) {
    if (!connection_) return false;
    return connection_->SendAll(bytes.data(), static_cast<int>(bytes.size()), 5) ==
           static_cast<int>(bytes.size());
}

void FakePeer::CloseConnection() {
    connection_.reset();
}

bool FakePeer::Authenticate(bool accept, std::chrono::milliseconds acceptLimit) {
    std::string request;
    return AcceptWithin(acceptLimit) && NextMessage(request) &&
           MethodOf(request) == "authenticate" && Send(AuthenticateAnswer(accept));
}

namespace {
std::string Value(const std::string& type, const std::string& text) {
    return "<value><" + type + ">" + text + "</" + type + "></value>";
}
std::string Param(const std::string& value) {
    return "<param>\r\n" + value + "\r\n</param>\r\n";
}
std::string Member(const std::string& name, const std::string& type, const std::string& text) {
    return "<member><name>" + name + "</name>" + Value(type, text) + "</member>";
}
std::string Struct(const std::string& members) {
    return "<value><struct>" + members + "</struct></value>";
}
std::string BoolParam(bool value) {
    return Param(Value("boolean", value ? "1" : "0"));
}
std::string Response(const std::string& body) {
    return "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n" + body + "</methodResponse>\r\n\r\n";
}
std::string Params(const std::string& params) {
    return "<params>\r\n" + params + "</params>\r\n";
}
}  // namespace

std::string StringParam(const std::string& text) {
    return Param(Value("string", text));
}

std::string IntParam(int32_t value) {
    return Param(Value("int", std::to_string(value)));
}

std::string PlainAnswer(const std::string& id) {
    return Response(Params(StringParam(id)));
}

std::string AuthenticateAnswer(bool accepted) {
    return Response(Params(BoolParam(accepted) + StringParam("hello")));
}

std::string FaultAnswer(int32_t code, const std::string& text) {
    return Response("<fault>\r\n" +
                    Struct(Member("faultCode", "int", std::to_string(code)) +
                           Member("faultString", "string", text)) +
                    "\r\n</fault>\r\n");
}

std::string Notification(const char* method, const std::string& params) {
    return "<?xml "
           "version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>Services.CallProcessingService." +
           std::string(method) + "</methodName>\r\n" + Params(params) + "</methodCall>\r\n\r\n";
}

std::string CallOffer(const std::string& caller, const std::string& callee,
                      const std::string& origCallId, const std::string& callId) {
    return Notification(
        "process", Param(Struct(Member("From", "string", caller) + Member("To", "string", callee) +
                                Member("OrigCallID", "string", origCallId))) +
                       StringParam(callId));
}

std::string MailNotice(const std::string& subscriptionId, const std::string& caller,
                       const std::string& time, int32_t duration, int32_t mailId) {
    return Notification("mailarrived",
                        StringParam(subscriptionId) +
                            Param(Struct(Member("From", "string", caller) +
                                         Member("Time", "dateTime.iso8601", time) +
                                         Member("Duration", "int", std::to_string(duration)) +
                                         Member("MailID", "int", std::to_string(mailId)))));
}

std::string SubscribeAnswer(const std::string& id, bool confirmed, int32_t errorCode) {
    return Response(Params(StringParam(id) + BoolParam(confirmed) + IntParam(errorCode)));
}

std::string FirstString(const std::string& message) {
    size_t start = message.find("<string>");
    if (start == std::string::npos) return "";
    start += 8;
    return message.substr(start, message.find("</string>", start) - start);
}

std::string MethodOf(const std::string& message) {
    const std::string prefix = "<methodName>Services.CallProcessingService.";
    size_t start = message.find(prefix);
    if (start == std::string::npos) return "";
    start += prefix.size();
    return message.substr(start, message.find("</methodName>", start) - start);
}

}  // namespace voxtrel::testing
