// The protocol side of the simulated service: connections, the routing of received messages,
// answers in request order, notifications, and the matching of the control's answers to them.
#include "pbx/pbx_service.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <random>

#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/call_service_notifications.h"
#include "protocol/fault_response.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"
#include "xml/xml_navigator.h"

namespace voxtrel::pbx {

namespace {

constexpr size_t kReceiveChunk = 64 * 1024;
constexpr int kListenBacklog = 128;
// New connections taken per pass, so that a storm of them cannot hold up the others.
constexpr int kAcceptsPerPass = 64;
// The error code of a subscribe answer that does not confirm: not a voice-mail subscription.
constexpr int32_t kSubscriptionRefused = 1;
// Split writes leave a gap between their pieces, so that the peer reads them one by one.
constexpr std::chrono::milliseconds kSplitGap{1};
// The filler of an injected flood: no terminator can form in it.
constexpr std::string_view kFloodPattern = "<flood>xxxxxxxxxxxxxxxxxxxxxxxx</flood>";
constexpr size_t kFloodChunk = 16 * 1024;
// The largest piece of a stream that leaves in pieces.
constexpr size_t kLargestPiece = 64;

uint64_t PickSeed(uint64_t seed) {
    if (seed != 0) return seed;
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) | device();
}

std::string DottedHost(uint32_t networkAddress) {
    uint32_t host = NetworkToHost32(networkAddress);
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
           std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

enum class Root { kBlank, kMethodCall, kMethodResponse, kOther };

Root RootOf(const std::string& text) {
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; })) {
        return Root::kBlank;
    }
    CharBuffer document;
    XMLNavigator navigator;
    if (!document.Append(text.data(), static_cast<uint32_t>(text.size())) ||
        !navigator.Open(document)) {
        return Root::kOther;
    }
    XMLElement& element = navigator.ScratchElement();
    if (!navigator.NextElement(element)) return Root::kOther;
    if (EqualsIgnoreCase(element.name, "methodCall")) return Root::kMethodCall;
    if (EqualsIgnoreCase(element.name, "methodResponse")) return Root::kMethodResponse;
    return Root::kOther;
}

}  // namespace

// Takes what a received message's Dispatch hands over: the requests of the control, which it
// answers, and the control's answers to offers.
class PbxService::Inbound : public CallServiceNotifications {
  public:
    Inbound(PbxService& service, Connection& connection, const XmlRpcRequestMethod* request)
        : service_(service), connection_(connection), request_(request) {}

    bool Answered() const { return answered_; }

    // The answer when Dispatch called nothing: the request's content did not do.
    void AnswerDefault() {
        switch (request_->methodType) {
            case kCreateCall:
            case kTransferCall:
                Fault(kFaultInvalidAddress, "Invalid party address");
                break;
            case kSubscribe: {
                SubscribeResponseMethod answer;
                answer.SetParams(request_->GetId(), false, kSubscriptionRefused);
                Send(answer);
                break;
            }
            default:
                NotServed();
                break;
        }
    }

    void OnAuthenticate(const std::string& userName, const std::string& password) override {
        const auto& users = service_.options_.users;
        bool accepted = std::any_of(users.begin(), users.end(), [&](const PbxUser& user) {
            return user.name == userName && user.password == password;
        });
        connection_.authenticated = accepted;
        connection_.user = accepted ? userName : std::string();
        service_.Log("connection " + std::to_string(connection_.id) +
                     (accepted ? " authenticated as " : " refused user ") + userName);
        AuthenticateResponseMethod answer;
        answer.SetParams(accepted, accepted ? "Authenticated" : "Wrong user name or password");
        Send(answer);
    }
    void OnIncomingCallHandling(const std::string& extension, bool enable) override {
        auto& extensions = connection_.extensions;
        if (enable && extensions.count(extension) == 0 &&
            (extensions.size() >= kMaxExtensions || extension.size() > kMaxExtensionName)) {
            Fault(kFaultLimit, "Too many extensions, or too long a name");
            return;
        }
        if (enable) {
            extensions.insert(extension);
        } else {
            extensions.erase(extension);
        }
        Plain();
    }
    void OnCreateCall(uint64_t callId, const std::string&, const PartyAddress& to) override {
        Result(service_.model_.CreateCall(connection_.id, callId, to, service_.now_));
    }
    void OnCloseCall(uint64_t callId) override {
        Result(service_.model_.CloseCall(connection_.id, callId));
    }
    void OnTransferCall(uint64_t callId, const PartyAddress& to) override {
        Result(service_.model_.TransferCall(connection_.id, callId, to, service_.now_));
    }
    void OnJoinCalls(uint64_t callId, uint64_t other) override {
        Result(service_.model_.JoinCalls(connection_.id, callId, other));
    }
    void OnUnjoinCalls(uint64_t callId, uint64_t other) override {
        Result(service_.model_.UnjoinCalls(connection_.id, callId, other));
    }
    void OnPlayMessage(uint64_t callId, const std::string&, int32_t playCount) override {
        Result(service_.model_.PlayMessage(connection_.id, callId, playCount, service_.now_));
    }
    void OnEnableDtmfDetection(uint64_t callId, bool on) override {
        Result(service_.model_.EnableDtmfDetection(connection_.id, callId, on));
    }
    void OnSubscribe(uint64_t subscriptionId, const std::string&) override {
        auto& subscriptions = connection_.subscriptions;
        if (subscriptions.count(subscriptionId) == 0 && subscriptions.size() >= kMaxSubscriptions) {
            Fault(kFaultLimit, "Too many subscriptions");
            return;
        }
        // Notices go by subscription id alone, so the extension is not kept.
        subscriptions.insert(subscriptionId);
        SubscribeResponseMethod answer;
        answer.SetParams(subscriptionId, true, 0);
        Send(answer);
    }
    void OnUnsubscribe(uint64_t subscriptionId) override {
        if (connection_.subscriptions.erase(subscriptionId) == 0) {
            Fault(kFaultUnknownSubscription, "Unknown subscription " + FormatId(subscriptionId));
            return;
        }
        Plain();
    }

    // The control's answers to offers.
    void OnCallAccepted(uint64_t callId, const std::string&, const std::string&) override {
        Offer("accepted", callId, service_.model_.AcceptOffer(connection_.id, callId));
    }
    void OnCallRedirected(uint64_t callId, const std::vector<PartyAddress>& targets,
                          const std::string&, const std::string&) override {
        Offer("redirected", callId, service_.model_.RedirectOffer(connection_.id, callId, targets));
    }
    void OnCallDeclined(uint64_t callId) override {
        Offer("declined", callId, service_.model_.DeclineOffer(connection_.id, callId));
    }

    // What the service sends itself is no request that it serves.
    void OnAuthenticateResponse(bool, const std::string&) override { NotServed(); }
    void OnCallArrived(uint64_t, const PartyAddress&, const PartyAddress&, uint64_t) override {
        NotServed();
    }
    void OnCallStateChanged(uint64_t, int32_t) override { NotServed(); }
    void OnMessagePlayed(uint64_t) override { NotServed(); }
    void OnDtmfDigitReceived(uint64_t, char) override { NotServed(); }
    void OnSubscriptionConfirmed(uint64_t, bool, int32_t) override { NotServed(); }
    void OnMailArrived(uint64_t, const PartyAddress&, const std::string&, int32_t,
                       int32_t) override {
        NotServed();
    }
    void OnRequestFailed(uint64_t, int32_t, const std::string&) override { NotServed(); }

  private:
    void Send(const XmlRpcResponseMethod& answer) {
        if (request_ == nullptr || answered_) return;
        answered_ = true;
        service_.Answer(connection_, answer);
    }
    // The plain answer: the request's id as its single param.
    void Plain() {
        if (request_ == nullptr) return;
        XmlRpcResponseMethod answer(request_->methodType);
        answer.SetId(request_->GetId());
        Send(answer);
    }
    void Fault(int32_t code, const std::string& text) {
        if (request_ == nullptr || answered_) return;
        answered_ = true;
        service_.AnswerFault(connection_, request_->methodType, code, text);
    }
    void Result(const Outcome& outcome) {
        if (outcome.Ok()) {
            Plain();
        } else {
            Fault(outcome.fault, outcome.text);
        }
    }
    void NotServed() { Fault(kFaultUnknownMethod, "Not a request of this service"); }
    void Offer(const char* action, uint64_t callId, const Outcome& outcome) {
        // Every answer counts, also one the model ignores: the counts show what arrived.
        std::string_view name = action;
        if (name == "accepted") {
            ++service_.received_.accepted;
        } else if (name == "declined") {
            ++service_.received_.declined;
        } else {
            ++service_.received_.redirected;
        }
        service_.Log("connection " + std::to_string(connection_.id) + " " + action + " call " +
                     FormatId(callId) + (outcome.Ok() ? "" : ", ignored: " + outcome.text));
    }

    PbxService& service_;
    Connection& connection_;
    const XmlRpcRequestMethod* request_;
    bool answered_ = false;
};

PbxService::PbxService(const PbxOptions& options)
    : options_(options),
      model_(*this, options.timings, options.maxCalls),
      faults_(PickSeed(options.seed)),
      receiveBuffer_(kReceiveChunk) {
    if (options_.users.empty()) options_.users.push_back({"demo", "demo"});
}

PbxService::~PbxService() {
    Shutdown();
}

bool PbxService::Listen(std::string& error) {
    auto listener = std::make_unique<BsdSocket>(ShowSocketErrors());
    SocketAddress address;
    if (!BsdSocket::GetHostByName(options_.host.c_str(), address)) {
        error = "cannot resolve " + options_.host;
        return false;
    }
    address.SetPort(options_.port);
    std::string where = DottedHost(address.Address()) + ":" + std::to_string(options_.port);
    if (!listener->CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp) ||
        !AllowAddressReuse(listener->Handle()) || !listener->BindEx(address) ||
        !listener->ListenEx(kListenBacklog) || !listener->SetBlocking(false)) {
        error = "cannot listen on " + where;
        return false;
    }
    host_ = DottedHost(address.Address());
    port_ = listener->SelfAddr().Port();
    listener_ = std::move(listener);
    Log("listening on " + host_ + ":" + std::to_string(port_));
    return true;
}

void PbxService::Serve(Poller& poller, std::chrono::milliseconds maxWait) {
    now_ = Clock::now();
    Clock::time_point wake = now_ + maxWait;
    if (auto due = model_.NextDue()) wake = std::min(wake, *due);
    pollEntries_.clear();
    polledConnections_.clear();
    if (listener_) pollEntries_.push_back({listener_->Handle(), true, false});
    for (const auto& [id, connection] : connections_) {
        bool write = connection->Pending() > 0 || connection->faults.floodLeft > 0;
        if (write && faults_.chaos.splitWrites && connection->faults.nextWrite > now_) {
            write = false;
            wake = std::min(wake, connection->faults.nextWrite);
        }
        if (!connection->faults.late.empty())
            wake = std::min(wake, connection->faults.late.front().due);
        pollEntries_.push_back({connection->socket.Handle(), MayRead(*connection, wake), write});
        polledConnections_.push_back(id);
    }
    auto wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(wake - now_),
                           std::chrono::milliseconds(0), maxWait);
    int ready = poller.Wait(pollEntries_, static_cast<int>(wait.count()));
    now_ = Clock::now();
    if (ready > 0) {
        size_t first = listener_ ? 1 : 0;
        if (listener_ && pollEntries_[0].readable) AcceptConnections();
        for (size_t i = 0; i < polledConnections_.size(); ++i) {
            Connection* connection = Live(polledConnections_[i]);
            const PollEntry& entry = pollEntries_[first + i];
            if (connection == nullptr) continue;
            if (entry.readable || entry.broken) Receive(*connection);
            if (entry.writable && !connection->closing) Flush(*connection);
        }
    }
    model_.Advance(now_);
    for (auto& [id, connection] : connections_) {
        if (connection->closing) continue;
        Release(*connection);
        if (connection->Pending() > 0 || connection->faults.floodLeft > 0) Flush(*connection);
    }
    Sweep();
}

bool PbxService::MayRead(Connection& connection, Clock::time_point& wake) {
    if (faults_.chaos.readRate == 0) return true;
    double rate = faults_.chaos.readRate;
    StreamFaults& faults = connection.faults;
    // At most a quarter of a second's worth at once, read in steps of about 50 ms.
    double most = std::max(rate / 4, 1.0);
    double step = std::min(most, std::max(rate / 20, 1.0));
    std::chrono::duration<double> elapsed = now_ - faults.allowanceTime;
    faults.readAllowance = std::min(most, faults.readAllowance + elapsed.count() * rate);
    faults.allowanceTime = now_;
    if (faults.readAllowance >= step) return true;
    auto until = std::chrono::duration<double>((step - faults.readAllowance) / rate);
    wake = std::min(wake, now_ + std::chrono::ceil<std::chrono::milliseconds>(until));
    return false;
}

void PbxService::Shutdown() {
    for (auto& [id, connection] : connections_)
        Close(*connection, "service stopped");
    Sweep();
    if (listener_) {
        listener_->Close();
        listener_.reset();
    }
}

void PbxService::AcceptConnections() {
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        auto connection = std::make_unique<Connection>(options_.maxMessageBytes);
        if (listener_->Accept(connection->socket) != SocketStatus::kDone ||
            connection->socket.Handle() == kInvalidSocket) {
            return;
        }
        const SocketAddress& peer = connection->socket.PeerAddr();
        connection->peer = DottedHost(peer.Address()) + ":" + std::to_string(peer.Port());
        if (connections_.size() >= options_.maxConnections) {
            Log("refused connection from " + connection->peer + ": too many connections");
            connection->socket.Close();
            continue;
        }
        connection->socket.SetBlocking(false);
        SetNoDelay(connection->socket.Handle());
        connection->id = nextConnectionId_++;
        connection->faults.allowanceTime = now_;
        Log("connection " + std::to_string(connection->id) + " from " + connection->peer);
        connections_.emplace(connection->id, std::move(connection));
    }
}

void PbxService::Receive(Connection& connection) {
    size_t most = receiveBuffer_.size();
    // A slow reader still takes a byte when the socket reports a hang-up or an error, so that
    // the poll does not report it again and again.
    if (faults_.chaos.readRate != 0) {
        most = std::clamp(static_cast<size_t>(std::max(connection.faults.readAllowance, 0.0)),
                          size_t{1}, most);
    }
    SocketTransfer result =
        connection.socket.Receive(receiveBuffer_.data(), static_cast<int>(most), 0, 0);
    int received = result.count;
    if (result.status == SocketStatus::kWouldBlock || result.status == SocketStatus::kNoSocket)
        return;
    if (result.status != SocketStatus::kDone) {
        bool closed = result.status == SocketStatus::kClosed;
        Close(connection, closed ? "closed by the peer" : "receive failed");
        return;
    }
    if (faults_.chaos.readRate != 0) connection.faults.readAllowance -= received;
    if (!connection.framer.Append(receiveBuffer_.data(), static_cast<size_t>(received))) {
        Close(connection,
              "message longer than " + std::to_string(options_.maxMessageBytes) + " bytes");
        return;
    }
    std::string message;
    while (!connection.closing && connection.framer.Next(message)) {
        Trace(connection.id, WireDirection::kReceived, message);
        HandleMessage(connection, message);
        if (!connection.closing && Chance(faults_.random, faults_.chaos.closePercent)) {
            Close(connection, "closed at random after a message read");
            connection.faults.abort = true;
        }
    }
}

void PbxService::HandleMessage(Connection& connection, const std::string& text) {
    if (std::unique_ptr<XmlRpcRequestMethod> request = ParseRequest(text)) {
        HandleRequest(connection, *request);
        return;
    }
    switch (RootOf(text)) {
        case Root::kBlank:
            return;
        case Root::kMethodCall:
            // Unknown method or unreadable params: still a request, and answered in its turn.
            ++received_.requests;
            Log("connection " + std::to_string(connection.id) + " <- unreadable request");
            AnswerFault(connection, kCreateCall, kFaultUnknownMethod,
                        "Unknown method or unreadable params");
            return;
        case Root::kMethodResponse:
            HandleAnswer(connection, text);
            return;
        case Root::kOther:
            Close(connection, "not an XML-RPC message");
            return;
    }
}

void PbxService::HandleRequest(Connection& connection, XmlRpcRequestMethod& request) {
    uint32_t type = request.methodType;
    ++received_.requests;
    InjectedFault injected;
    // Every answer of the method waits as long; what the connection is sent next waits behind.
    faults_.answerDelay = faults_.methods.Delay(type);
    switch (faults_.methods.Take(type, injected, faults_.random)) {
        case AnswerMode::kSilent:
            Log("connection " + std::to_string(connection.id) + " not answered: muted");
            break;
        case AnswerMode::kFault:
            AnswerFault(connection, type, injected.code, injected.text);
            break;
        case AnswerMode::kNormal:
            if (!connection.authenticated && type != kAuthenticate) {
                AnswerFault(connection, type, kFaultNotAuthenticated, "Not authenticated");
                break;
            }
            holding_ = connection.id;
            held_.clear();
            Inbound inbound(*this, connection, &request);
            request.Dispatch(inbound);
            if (!inbound.Answered()) inbound.AnswerDefault();
            holding_ = 0;
            if (!held_.empty()) {
                Trace(connection.id, WireDirection::kSent, held_);
                Queue(connection, held_);
            }
            held_.clear();
            break;
    }
    faults_.answerDelay = std::chrono::milliseconds(0);
}

void PbxService::HandleAnswer(Connection& connection, const std::string& text) {
    // An answer to an offer has its struct first; an acknowledgement has the notification's id.
    CallArrivedResponseMethod offerAnswer;
    if (offerAnswer.ReadDocument(text)) {
        Inbound inbound(*this, connection, nullptr);
        offerAnswer.Dispatch(inbound);
        return;
    }
    XmlRpcResponseMethod acknowledgement(kCallStateChanged);
    if (acknowledgement.ReadDocument(text)) {
        Acknowledge(connection, acknowledgement.GetId());
        return;
    }
    Log("connection " + std::to_string(connection.id) + " <- unreadable answer, dropped");
}

void PbxService::Acknowledge(Connection& connection, uint64_t id) {
    auto& waiting = connection.unacknowledged;
    auto found = std::find_if(waiting.begin(), waiting.end(),
                              [id](const Connection::Notice& notice) { return notice.id == id; });
    if (found == waiting.end()) {
        Log("connection " + std::to_string(connection.id) + " <- answer " + FormatId(id) +
            " to no notification, dropped");
        return;
    }
    ++received_.acknowledged;
    waiting.erase(found);
}

void PbxService::Answer(Connection& connection, const XmlRpcResponseMethod& answer) {
    std::string text;
    if (!answer.Write(text)) return;
    NoteLate(connection);
    Trace(connection.id, WireDirection::kSent, text);
    Queue(connection, text, faults_.answerDelay);
}

void PbxService::AnswerFault(Connection& connection, uint32_t methodType, int32_t code,
                             const std::string& text) {
    FaultResponseMethod fault(methodType);
    fault.SetParams(code, text);
    std::string written;
    if (!fault.Write(written)) return;
    NoteLate(connection);
    Trace(connection.id, WireDirection::kSent, written);
    Queue(connection, written, faults_.answerDelay);
}

void PbxService::Notify(ConnectionId to, const XmlRpcRequestMethod& request, uint64_t id) {
    Connection* connection = Live(to);
    if (connection == nullptr) return;
    std::string text;
    if (!request.Write(text)) return;
    // Offers are matched through the call model; the rest by their acknowledgements.
    if (request.methodType != kProcess) {
        auto& waiting = connection->unacknowledged;
        if (waiting.size() >= kMaxUnacknowledged) waiting.pop_front();
        waiting.push_back({request.methodType, id});
    }
    if (holding_ == to) {
        // Traced when it leaves, after the answer that it waits for.
        held_ += text;
    } else {
        Trace(to, WireDirection::kSent, text);
        Queue(*connection, text);
    }
}

void PbxService::CallStateChanged(ConnectionId connection, uint64_t callId, int32_t state) {
    CallStateChangedMethod notification;
    notification.SetParams(callId, state);
    Log("call " + FormatId(callId) + " state " + std::to_string(state));
    Notify(connection, notification, callId);
}

void PbxService::MessagePlayed(ConnectionId connection, uint64_t callId) {
    MessagePlayedMethod notification;
    notification.SetParams(callId);
    Notify(connection, notification, callId);
}

void PbxService::DtmfDigit(ConnectionId connection, uint64_t callId, char digit) {
    DtmfDigitReceivedMethod notification;
    notification.SetParams(callId, digit);
    Notify(connection, notification, callId);
}

void PbxService::CallOffered(ConnectionId connection, uint64_t callId, const PartyAddress& caller,
                             const PartyAddress& callee, uint64_t origCallId) {
    CallArrivedMethod offer;
    if (offer.SetParams(callId, caller, callee, origCallId)) Notify(connection, offer, callId);
}

std::vector<ConnectionId> PbxService::HandlersOf(const std::string& extension) {
    std::vector<ConnectionId> handlers;
    for (const auto& [id, connection] : connections_) {
        if (!connection->closing && connection->authenticated &&
            connection->extensions.count(extension) != 0) {
            handlers.push_back(id);
        }
    }
    return handlers;
}

void PbxService::NoteLate(const Connection& connection) const {
    if (faults_.answerDelay.count() == 0) return;
    Log("connection " + std::to_string(connection.id) + " answer below leaves " +
        std::to_string(faults_.answerDelay.count()) + " ms late");
}

void PbxService::Trace(ConnectionId id, WireDirection direction, std::string_view text) const {
    if (!Logging()) return;
    auto time = std::chrono::system_clock::now();
    std::string prefix = "connection " + std::to_string(id) + " ";
    // What leaves together is traced one message at a time.
    do {
        size_t end = text.find(kMessageTerminator);
        std::string_view message = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size()
                                                         : end + kMessageTerminator.size());
        std::string line = prefix;
        std::string masked;
        AppendWireTraceLine(line, direction, time, TracedDocument(message, masked));
        line.pop_back();
        Log(line);
    } while (!text.empty());
}

void PbxService::Queue(Connection& connection, std::string_view text,
                       std::chrono::milliseconds delay) {
    // A flood is the last thing a connection is sent.
    if (connection.closing || connection.faults.flooding) return;
    if (connection.Pending() + connection.faults.lateBytes + text.size() >
        options_.maxOutputBytes) {
        Close(connection, "reads too slowly: more than " + std::to_string(options_.maxOutputBytes) +
                              " bytes wait");
        return;
    }
    if (delay.count() > 0 || !connection.faults.late.empty()) {
        connection.faults.late.push_back({now_ + delay, std::string(text)});
        connection.faults.lateBytes += text.size();
        return;
    }
    Emit(connection, text);
}

void PbxService::QueueInPieces(Connection& connection, std::string_view text) {
    Queue(connection, text);
    if (connection.closing) return;
    connection.faults.piecesUntil =
        connection.sent + connection.Pending() + connection.faults.lateBytes;
}

void PbxService::Release(Connection& connection) {
    auto& late = connection.faults.late;
    while (!late.empty() && late.front().due <= now_ && !connection.closing) {
        connection.faults.lateBytes -= late.front().text.size();
        Emit(connection, late.front().text);
        late.pop_front();
    }
}

void PbxService::Emit(Connection& connection, std::string_view text) {
    if (!text.empty() && connection.faults.closeAt == StreamFaults::kNever &&
        Chance(faults_.random, faults_.chaos.closePercent)) {
        // Anywhere from just before the text to just before its last byte.
        connection.faults.closeAt =
            connection.sent + connection.Pending() +
            std::uniform_int_distribution<size_t>(0, text.size() - 1)(faults_.random);
    }
    connection.output += text;
}

void PbxService::RefillFlood(Connection& connection) {
    size_t size = std::min(connection.faults.floodLeft, kFloodChunk);
    connection.output.clear();
    while (connection.output.size() < size)
        connection.output += kFloodPattern;
    connection.output.resize(size);
    connection.outputStart = 0;
    connection.faults.floodLeft -= size;
}

void PbxService::Flush(Connection& connection) {
    for (;;) {
        if (connection.Pending() == 0 && connection.faults.floodLeft > 0 && !connection.closing) {
            RefillFlood(connection);
        }
        if (connection.Pending() == 0) break;
        size_t chunk = std::min<size_t>(connection.Pending(), INT_MAX / 2);
        if (connection.faults.closeAt != StreamFaults::kNever) {
            chunk = static_cast<size_t>(
                std::min<uint64_t>(chunk, connection.faults.closeAt - connection.sent));
            if (chunk == 0) {
                Close(connection, "closed at random while writing");
                connection.faults.abort = true;
                break;
            }
        }
        // A closing connection sends what it still may at once.
        bool split = faults_.chaos.splitWrites && !connection.closing;
        if (split) {
            if (now_ < connection.faults.nextWrite) break;
            chunk = std::uniform_int_distribution<size_t>(1, chunk)(faults_.random);
        }
        bool piece = connection.sent < connection.faults.piecesUntil && !connection.closing;
        if (piece) {
            size_t most = static_cast<size_t>(std::min<uint64_t>(
                {chunk, connection.faults.piecesUntil - connection.sent, kLargestPiece}));
            chunk = std::uniform_int_distribution<size_t>(1, most)(faults_.random);
        }
        SocketTransfer result = connection.socket.Send(
            connection.output.data() + connection.outputStart, static_cast<int>(chunk), 0, 0);
        if (result.status == SocketStatus::kFailed || result.status == SocketStatus::kTimedOut) {
            Close(connection, "send failed");
        }
        int sent = result.count;
        if (sent <= 0) break;
        connection.outputStart += static_cast<size_t>(sent);
        connection.sent += static_cast<uint64_t>(sent);
        if (split) {
            connection.faults.nextWrite = now_ + kSplitGap;
            break;
        }
        // One piece per call: the next leaves on the next pass, a moment later.
        if (piece) break;
    }
    if (connection.faults.flooding && connection.faults.floodLeft == 0 &&
        connection.Pending() == 0) {
        Close(connection, "flooded");
    }
    if (connection.outputStart == connection.output.size()) {
        connection.output.clear();
        connection.outputStart = 0;
    } else if (connection.outputStart >= connection.output.size() / 2) {
        connection.output.erase(0, connection.outputStart);
        connection.outputStart = 0;
    }
}

void PbxService::Close(Connection& connection, std::string reason) {
    if (connection.closing) return;
    connection.closing = true;
    connection.closeReason = std::move(reason);
}

void PbxService::Sweep() {
    for (;;) {
        auto found = std::find_if(connections_.begin(), connections_.end(),
                                  [](const auto& entry) { return entry.second->closing; });
        if (found == connections_.end()) return;
        std::unique_ptr<Connection> connection = std::move(found->second);
        connections_.erase(found);
        // What is already written may still leave; the rest goes with the connection.
        if (!connection->faults.abort) Flush(*connection);
        connection->socket.Close();
        Log("connection " + std::to_string(connection->id) + " closed: " + connection->closeReason);
        model_.ConnectionClosed(connection->id);
    }
}

Connection* PbxService::Live(ConnectionId id) {
    auto found = connections_.find(id);
    if (found == connections_.end() || found->second->closing) return nullptr;
    return found->second.get();
}

void PbxService::Log(const std::string& line) const {
    if (options_.log) options_.log(line);
}

}  // namespace voxtrel::pbx
