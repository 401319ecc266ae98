// The service session: connecting and authenticating, the worker thread's passes, writing
// queued messages, time-outs, and the reading side that cuts and routes received messages.
#include "session/call_service_client.h"

#include <algorithm>
#include <chrono>

#include "net/bsd_socket.h"
#include "net/net_platform.h"
#include "net/socket_wait.h"
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_offer.h"
#include "protocol/fault_response.h"
#include "protocol/subscription.h"
#include "session/wake_channel.h"

namespace voxtrel {

namespace {

constexpr int kReceiveChunk = 8192;
constexpr int kChunksPerPass = 2;
constexpr uint32_t kSendTimeout = 10;
// Once the worker no longer waits on the host, it finishes a dropped connection in moments.
constexpr std::chrono::milliseconds kDropWait{1000};
// How often Shutdown wakes the worker again while it has not ended.
constexpr std::chrono::milliseconds kShutdownWakeEvery{50};
// What is left of Connect's bound when its wait ran out.
constexpr std::chrono::milliseconds kGiveUpWait{90};
// How long the worker keeps checking without sleeping after requests were written. A service on
// the same machine answers within it (some 10 to 40 microseconds), and an answer that finds the
// worker awake spares the wake-up of a sleeping thread, tens of microseconds when it is on
// another processor. A batch of written requests costs at most this much processor time, so a
// remote service, whose answers take longer, costs little more than before.
constexpr std::chrono::microseconds kAnswerSpin{50};

}  // namespace

CallServiceClient::CallServiceClient() {
    wakeChannel_ = WakeChannel::Create();
    // A worker that cannot be woken could neither be stopped nor told of new work: the session
    // runs none, and Connect fails with the channel's report.
    if (!wakeChannel_) return;
    running_ = true;
    worker_ = std::thread([this] { WorkerLoop(); });
}

CallServiceClient::~CallServiceClient() {
    Shutdown();
}

void CallServiceClient::Shutdown() {
    if (!worker_.joinable()) return;
    Disconnect();
    running_ = false;
    Wake();
    // Woken again until it has ended, in case a wake-up went missing: the join below then only
    // waits for the worker's last steps.
    while (!workerEnded_.load()) {
        std::unique_lock<std::mutex> lock(stateLock_);
        stateChanged_.wait_for(lock, kShutdownWakeEvery, [this] { return workerEnded_.load(); });
        lock.unlock();
        Wake();
    }
    // The join is bounded: every wait of the worker ends on a wake-up byte (a session without
    // its wake-up channel has no worker), and notifications that wait on the host are released
    // by the owner before it gets here.
    worker_.join();
    std::lock_guard<std::mutex> lock(queueLock_);
    accepting_ = false;
    connection_.reset();
    for (const RequestEntry& entry : sendQueue_)
        Account(*entry.message, SessionAccounting::kDiscarded);
    for (const RequestEntry& entry : awaitingList_) {
        Account(*entry.message, SessionAccounting::kDiscarded);
    }
    sendQueue_.clear();
    awaitingList_.clear();
}

uint64_t CallServiceClient::NewId() {
    static std::atomic<uint64_t> last{0};
    uint64_t now = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
    uint64_t previous = last.load();
    uint64_t id;
    do {
        id = std::max(now, previous + 1);
    } while (!last.compare_exchange_weak(previous, id));
    return id;
}

void CallServiceClient::Wake() {
    wakeChannel_->Wake();
}

bool CallServiceClient::AcceptableText(std::string_view text) {
    return text.find('<') == std::string_view::npos && text.find('\0') == std::string_view::npos &&
           text.find(kMessageTerminator) == std::string_view::npos;
}

void CallServiceClient::SetState(SessionState state) {
    state_.store(state);
    std::lock_guard<std::mutex> lock(stateLock_);
    stateChanged_.notify_all();
}

bool CallServiceClient::ChangeState(SessionState from, SessionState to) {
    int32_t expected = from;
    if (!state_.compare_exchange_strong(expected, to)) return false;
    std::lock_guard<std::mutex> lock(stateLock_);
    stateChanged_.notify_all();
    return true;
}

SessionState CallServiceClient::WaitForState(std::initializer_list<SessionState> wanted) {
    // The bound of every wait: the session time-out and five seconds, less one 100 ms step.
    return WaitForState(wanted, std::chrono::milliseconds((timeout_.load() + 5) * 1000 - 100));
}

SessionState CallServiceClient::WaitForState(std::initializer_list<SessionState> wanted,
                                             std::chrono::milliseconds limit) {
    auto decided = [&] { return std::find(wanted.begin(), wanted.end(), State()) != wanted.end(); };
    std::unique_lock<std::mutex> lock(stateLock_);
    stateChanged_.wait_for(lock, limit, decided);
    return State();
}

bool CallServiceClient::Enqueue(std::unique_ptr<XmlRpcMethod> message) {
    bool wake = true;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        // The state that the caller saw may be a moment old: once the worker has failed what
        // was queued, a message would wait for a connection that is gone, with no outcome to
        // report.
        if (!accepting_) return false;
        if (SessionAccounting* accounting = accounting_.load()) accounting->Accepted(*message);
        // Written at once when nothing is ahead of it, which spares the wake-up of the worker
        // on the way to the service; otherwise it waits its turn in the queue.
        int32_t state = state_.load();
        bool established = state == kConnected || state == kAuthenticated;
        // A sink runs on the worker only, so a traced session leaves the writing to it.
        if (established && sendQueue_.empty() && outputBuffer_.empty() &&
            wireTrace_.load(std::memory_order_acquire) == nullptr) {
            wake = WriteDirectly(std::move(message));
        } else {
            sendQueue_.push_back(RequestEntry{std::move(message), 0});
        }
    }
    if (wake) Wake();
    return true;
}

bool CallServiceClient::WriteDirectly(std::unique_ptr<XmlRpcMethod> message) {
    // Safe under queueLock_ while accepting_ holds: the worker destroys a connection only after
    // it has failed the queues, which ends accepting_ under this lock.
    std::string text;
    if (!message->Write(text)) {
        Account(*message, SessionAccounting::kUnwritable);
        return false;
    }
    // On the awaiting list before its bytes can reach the service, so that the worker finds it
    // there when the answer comes.
    bool firstAwaited = false;
    if (message->isRequest == 1) {
        firstAwaited = awaitingList_.empty();
        awaitingList_.push_back(RequestEntry{std::move(message), time(nullptr)});
        requestsWrittenUnseen_ = true;
    } else {
        Account(*message, SessionAccounting::kWritten);
    }
    // The system call itself, not the socket's Send: a failure is neither noted on the socket,
    // which the worker is using, nor reported on the host's thread. Whatever is not taken goes
    // to the output, where the worker's Flush sends it, and reports a failure, as it always has.
    int sent = platform::Send(connection_->Handle(), text.data(), static_cast<int>(text.size()), 0);
    size_t taken = sent > 0 ? static_cast<size_t>(sent) : 0;
    if (taken < text.size()) {
        outputBuffer_.assign(text, taken);
        return true;
    }
    // The worker's time-out watch comes from the awaiting list, which was empty when it last
    // looked. Woken now, while the service works on the request, it is also awake when the
    // answer comes: that wake-up costs little here and much when the answer would find it
    // asleep on another processor.
    return firstAwaited;
}

bool CallServiceClient::Connect(const std::string& server, uint16_t port, int32_t timeout,
                                const std::string& userName, const std::string& password) {
    if (!Usable()) {
        ReportSocketError("Session wake-up socket", false);
        return false;
    }
    if (!AcceptableText(userName) || !AcceptableText(password)) return false;
    // A host that reconnects as soon as it hears of a lost connection, or right after a refused
    // attempt, finds the worker still dropping the old connection. Its owner makes sure that the
    // worker no longer waits on the host by then, so the drop ends in moments.
    if (dropping_ || State() == kClosing) WaitForState({kIdle}, kDropWait);
    if (State() != kIdle) return false;
    SocketAddress address;
    if (!BsdSocket::GetHostByName(server.c_str(), address)) return false;
    address.SetPort(port);
    auto socket = std::make_unique<BsdSocket>(false);
    if (!socket->CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp) ||
        !socket->SetBlocking(false) || !socket->ConnectEx(address)) {
        return false;
    }
    connection_ = std::move(socket);
    if (timeout > 0) timeout_ = timeout;
    connectStart_ = time(nullptr);
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        accepting_ = true;
    }
    SetState(kConnecting);
    auto authenticate = std::make_unique<AuthenticateMethod>();
    authenticate->SetParams(userName, password);
    Enqueue(std::move(authenticate));
    SessionState state = WaitForState({kAuthenticated, kClosing, kIdle});
    if (state == kAuthenticated) return true;
    if (state == kIdle) return false;
    if (state == kClosing) {
        // Refused credentials: the attempt is over once the worker has dropped it, so that a
        // host that tries again at once finds the session idle instead of still closing. The
        // worker made the change itself and is not woken by it.
        Wake();
        WaitForState({kIdle}, kDropWait);
        return false;
    }
    return GiveUpConnecting();
}

bool CallServiceClient::GiveUpConnecting() {
    // Only an attempt still under way is abandoned. Had the worker authenticated the connection
    // in the meantime, overwriting that state would leave its first notifications on their
    // way to a host told that Connect failed.
    bool abandoned = ChangeState(kConnecting, kClosing) || ChangeState(kConnected, kClosing);
    if (!abandoned && State() == kAuthenticated) return true;
    Wake();
    WaitForState({kIdle}, kGiveUpWait);
    return false;
}

bool CallServiceClient::Disconnect() {
    if (!ChangeState(kAuthenticated, kClosing)) return false;
    Wake();
    return WaitForState({kIdle, kConnecting, kConnected, kAuthenticated}) == kIdle;
}

uint64_t CallServiceClient::CreateCall(const std::string& from, const std::string& to) {
    if (State() != kAuthenticated || !AcceptableText(from) || !AcceptableText(to)) return 0;
    PartyAddress target;
    ResetPartyAddress(target);
    if (!ParsePartyAddress(to, target)) return 0;
    uint64_t id = NewId();
    auto message = std::make_unique<CreateCallMethod>();
    message->SetParams(id, from, target);
    return Enqueue(std::move(message)) ? id : 0;
}

bool CallServiceClient::CloseCall(uint64_t callId) {
    if (State() != kAuthenticated) return false;
    auto message = std::make_unique<CloseCallMethod>();
    message->SetParams(callId);
    return Enqueue(std::move(message));
}

bool CallServiceClient::TransferCall(uint64_t callId, const std::string& to) {
    if (State() != kAuthenticated || !AcceptableText(to)) return false;
    PartyAddress target;
    ResetPartyAddress(target);
    if (!ParsePartyAddress(to, target)) return false;
    auto message = std::make_unique<TransferCallMethod>();
    message->SetParams(callId, target);
    return Enqueue(std::move(message));
}

bool CallServiceClient::JoinCalls(uint64_t callId, uint64_t callIdToJoin) {
    if (State() != kAuthenticated) return false;
    auto message = std::make_unique<JoinCallsMethod>();
    message->SetParams(callId, callIdToJoin);
    return Enqueue(std::move(message));
}

bool CallServiceClient::UnjoinCalls(uint64_t callId, uint64_t callIdToUnjoin) {
    if (State() != kAuthenticated) return false;
    auto message = std::make_unique<UnjoinCallsMethod>();
    message->SetParams(callId, callIdToUnjoin);
    return Enqueue(std::move(message));
}

bool CallServiceClient::PlayMessage(uint64_t callId, const std::string& fileName,
                                    int32_t playCount) {
    if (State() != kAuthenticated || !AcceptableText(fileName)) return false;
    auto message = std::make_unique<PlayMessageMethod>();
    message->SetParams(callId, fileName, playCount);
    return Enqueue(std::move(message));
}

bool CallServiceClient::EnableDtmfDetection(uint64_t callId, int32_t on) {
    if (State() != kAuthenticated) return false;
    auto message = std::make_unique<EnableDtmfDetectionMethod>();
    message->SetParams(callId, on);
    return Enqueue(std::move(message));
}

bool CallServiceClient::IncomingCallHandling(const std::string& extensionName, int32_t enable) {
    if (State() != kAuthenticated || !AcceptableText(extensionName)) return false;
    auto message = std::make_unique<IncomingCallHandlingMethod>();
    message->SetParams(extensionName, enable);
    return Enqueue(std::move(message));
}

bool CallServiceClient::AcceptCall(uint64_t callId, const std::string& callerId,
                                   const std::string& displayName) {
    if (State() != kAuthenticated || !AcceptableText(callerId) || !AcceptableText(displayName)) {
        return false;
    }
    auto answer = std::make_unique<CallArrivedResponseMethod>();
    answer->BuildAccept(callId, callerId, displayName);
    return Enqueue(std::move(answer));
}

bool CallServiceClient::RejectCall(uint64_t callId) {
    if (State() != kAuthenticated) return false;
    auto answer = std::make_unique<CallArrivedResponseMethod>();
    answer->BuildDecline(callId, "");
    return Enqueue(std::move(answer));
}

bool CallServiceClient::ForwardCall(uint64_t callId, const std::string& callee,
                                    const std::string& callerId, const std::string& displayName) {
    if (State() != kAuthenticated || !AcceptableText(callee) || !AcceptableText(callerId) ||
        !AcceptableText(displayName)) {
        return false;
    }
    PartyAddress target;
    ResetPartyAddress(target);
    if (!ParsePartyAddress(callee, target)) return false;
    auto answer = std::make_unique<CallArrivedResponseMethod>();
    answer->BuildRedirect(callId, {target}, callerId, displayName);
    return Enqueue(std::move(answer));
}

uint64_t CallServiceClient::Subscribe(const std::string& extensionName) {
    if (State() != kAuthenticated || !AcceptableText(extensionName)) return 0;
    uint64_t id = NewId();
    auto message = std::make_unique<SubscribeMethod>();
    message->SetParams(id, extensionName);
    return Enqueue(std::move(message)) ? id : 0;
}

bool CallServiceClient::Unsubscribe(uint64_t subscriptionId) {
    if (State() != kAuthenticated) return false;
    auto message = std::make_unique<UnsubscribeMethod>();
    message->SetParams(subscriptionId);
    return Enqueue(std::move(message));
}

void CallServiceClient::FailAll(int32_t code, const char* text) {
    std::deque<RequestEntry> failed;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        // Nothing joins the queue after this: whatever comes later is refused, not stranded.
        accepting_ = false;
        failed.swap(sendQueue_);
        for (RequestEntry& entry : awaitingList_)
            failed.push_back(std::move(entry));
        awaitingList_.clear();
    }
    // Notified outside the lock: a host may issue a request from inside the notification.
    std::string failureText = text;
    SessionAccounting::Outcome outcome = code == kClosedLocally ? SessionAccounting::kClosedLocally
                                         : code == kClosedRemotely
                                             ? SessionAccounting::kClosedRemotely
                                             : SessionAccounting::kConnectionTimedOut;
    for (RequestEntry& entry : failed) {
        Account(*entry.message, outcome);
        OnRequestFailed(entry.message->GetId(), code, failureText);
    }
}

void CallServiceClient::DropConnection() {
    connection_.reset();
    // Released, not only emptied: a connection that ended behind a slow reader leaves no
    // megabytes behind in an idle session.
    std::string().swap(outputBuffer_);
    receiveBuffer_.Clear();
}

void CallServiceClient::Flush() {
    // Under queueLock_: the host's thread writes to the connection too.
    if (outputBuffer_.empty() || !connection_) return;
    SocketTransfer sent = connection_->Send(
        outputBuffer_.data(), static_cast<int>(outputBuffer_.size()), kSendTimeout, 0);
    if (sent.count > 0) outputBuffer_.erase(0, static_cast<size_t>(sent.count));
}

void CallServiceClient::WorkerLoop() {
    SocketWaitEntry entries[2];
    std::chrono::steady_clock::time_point awakeUntil;
    while (running_) {
        // Consumed before the state and the queue are looked at: a Wake that comes later wakes
        // the worker again, one that came earlier is seen in this pass.
        if (entries[0].readable) wakeChannel_->Consume();
        time_t now = time(nullptr);
        Watch watch;
        SessionState state = State();
        if (state == kConnecting) state = ConnectingPass(now, entries[1].writable, watch);
        if (state == kConnected || state == kAuthenticated) {
            ConnectedPass(now, entries[1].readable, entries[1].writable, watch);
        } else if (state == kClosing) {
            FailAll(kClosedLocally, "Connection closed locally");
            DropConnection();
            SetState(kIdle);
        }

        entries[0] = SocketWaitEntry{};
        entries[0].handle = wakeChannel_->Handle();
        entries[0].wantRead = true;
        entries[1] = SocketWaitEntry{};
        entries[1].handle = watch.handle;
        entries[1].wantRead = watch.read;
        entries[1].wantWrite = watch.write;
        // Awake for the answers to newly written requests for a while, across the passes that
        // other events cause meanwhile.
        auto clock = std::chrono::steady_clock::now();
        if (watch.requestsWritten) awakeUntil = clock + kAnswerSpin;
        if (!watch.answersAwaited || clock >= awakeUntil ||
            !AwaitAnswerAwake(entries, awakeUntil)) {
            WaitSockets(entries, 2, watch.limitSeconds < 0 ? -1 : watch.limitSeconds * 1000);
        }
    }
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        workerEnded_ = true;
    }
    stateChanged_.notify_all();
}

bool CallServiceClient::AwaitAnswerAwake(SocketWaitEntry* entries,
                                         std::chrono::steady_clock::time_point until) {
    do {
        WaitSockets(entries, 2, 0);
        if (entries[0].readable || entries[1].readable || entries[1].writable) return true;
        // Gives way to any other thread of this processor: it may be the service itself.
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

SessionState CallServiceClient::ConnectingPass(time_t now, bool writable, Watch& watch) {
    int32_t timeout = timeout_.load();
    if (writable) {
        connection_->SetKeepAlive(true);
        receiveBuffer_.Clear();
        outputBuffer_.clear();
        // Connect may have given up meanwhile: its Closing stands.
        ChangeState(kConnecting, kConnected);
        return State();
    }
    if (now - connectStart_.load() >= timeout) {
        FailAll(kConnectionTimeout, "Connection timeout");
        DropConnection();
        SetState(kIdle);
        return kIdle;
    }
    // Taken while the connection is certainly the worker's: once a pass has made the state
    // idle, the host's thread may already be setting up the next one.
    watch.handle = connection_->Handle();
    watch.write = true;
    watch.limitSeconds = static_cast<int>(timeout - (now - connectStart_.load()));
    return kConnecting;
}

void CallServiceClient::ConnectedPass(time_t now, bool readable, bool writable, Watch& watch) {
    bool lost = false;
    // A full chunk means more is likely waiting: a few more receives in this pass spare a wait
    // each, while the queue still gets its turn within the pass.
    for (int chunks = 0; readable && !lost && chunks < kChunksPerPass; ++chunks) {
        char chunk[kReceiveChunk];
        SocketTransfer received = connection_->Receive(chunk, kReceiveChunk, 0, 0);
        if (received.count > 0) {
            // A peer that floods without terminators is treated as gone.
            lost = !receiveBuffer_.Append(chunk, static_cast<size_t>(received.count));
            while (!lost && ExtractMessage()) {
            }
            // The answers to the chunk's messages leave in one write, each before the message
            // it answers is dispatched.
            {
                std::lock_guard<std::mutex> lock(queueLock_);
                Flush();
            }
            DispatchReceived();
            if (received.count < kReceiveChunk) break;
        } else {
            lost = received.status == SocketStatus::kClosed ||
                   received.status == SocketStatus::kFailed ||
                   received.status == SocketStatus::kTimedOut;
            break;
        }
    }
    if (!lost) lost = !WriteAndTimeOut(now, writable, watch);
    if (lost) {
        dropping_ = true;
        reportingLoss_ = true;
        FailAll(kClosedRemotely, "Connection closed remotely");
        DropConnection();
        NotifyDisconnected();
        reportingLoss_ = false;
        SetState(kIdle);
        dropping_ = false;
        return;
    }
    watch.handle = connection_->Handle();
    watch.read = true;
}

void CallServiceClient::WriteQueued(time_t now) {
    // Everything queued goes to the output in this pass, so that no message depends on a
    // wake-up of its own; what the socket does not take yet waits there, watched for room. The
    // output stops growing past its bound, where the pass ends the connection.
    WireTraceSink* sink = wireTrace_.load(std::memory_order_acquire);
    while (!sendQueue_.empty() && outputBuffer_.size() <= kMaxUnsentBytes) {
        RequestEntry entry = std::move(sendQueue_.front());
        sendQueue_.pop_front();
        // Written in place; a message that does not write leaves nothing of itself behind.
        size_t before = outputBuffer_.size();
        if (!entry.message->Write(outputBuffer_)) {
            outputBuffer_.resize(before);
            Account(*entry.message, SessionAccounting::kUnwritable);
            continue;
        }
        if (sink)
            Trace(*sink, WireDirection::kSent, std::string_view(outputBuffer_).substr(before));
        entry.timeWritten = now;
        if (entry.message->isRequest == 1) {
            awaitingList_.push_back(std::move(entry));
            requestsWrittenUnseen_ = true;
        } else {
            Account(*entry.message, SessionAccounting::kWritten);
        }
    }
    Flush();
}

bool CallServiceClient::WriteAndTimeOut(time_t now, bool writable, Watch& watch) {
    std::unique_ptr<XmlRpcMethod> timedOut;
    bool overflowing;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (writable) Flush();
        WriteQueued(now);
        // A service that has stopped reading is as gone as one that floods: the output it
        // leaves unread is not kept without bound.
        overflowing = outputBuffer_.size() > kMaxUnsentBytes;
        watch.write = !outputBuffer_.empty();
        watch.answersAwaited = !awaitingList_.empty();
        watch.requestsWritten = requestsWrittenUnseen_;
        requestsWrittenUnseen_ = false;
        int32_t timeout = timeout_.load();
        if (!awaitingList_.empty() && now - awaitingList_.front().timeWritten >= timeout) {
            timedOut = std::move(awaitingList_.front().message);
            awaitingList_.pop_front();
        }
        if (!awaitingList_.empty()) {
            time_t due = awaitingList_.front().timeWritten + timeout - now;
            watch.limitSeconds = static_cast<int>(std::max<time_t>(due, 0));
        }
    }
    if (timedOut) {
        Account(*timedOut, SessionAccounting::kTimedOut);
        OnRequestFailed(timedOut->GetId(), kRequestTimeout, "Request timeout");
    }
    return !overflowing;
}

bool CallServiceClient::ExtractMessage() {
    std::string_view message;
    if (!receiveBuffer_.Next(message)) return false;
    WireTraceSink* sink = wireTrace_.load(std::memory_order_acquire);
    if (sink) Trace(*sink, WireDirection::kReceived, message);
    MessageReader::Root root = reader_.Open(message);
    if (root == MessageReader::Root::kMethodCall) {
        std::unique_ptr<XmlRpcRequestMethod> request = reader_.ReadRequest();
        if (!request) return true;
        std::unique_ptr<XmlRpcResponseMethod> answer = request->CreateResponse(false);
        answer->SetId(request->GetId());
        // Written in place; an answer that cannot be written leaves nothing behind.
        std::lock_guard<std::mutex> lock(queueLock_);
        size_t written = outputBuffer_.size();
        if (!answer->Write(outputBuffer_)) {
            outputBuffer_.resize(written);
        } else if (sink) {
            Trace(*sink, WireDirection::kSent, std::string_view(outputBuffer_).substr(written));
        }
        received_.push_back(std::move(request));
        return true;
    }
    if (root != MessageReader::Root::kMethodResponse) return true;
    std::unique_ptr<XmlRpcResponseMethod> answer;
    std::unique_ptr<XmlRpcMethod> answered;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (awaitingList_.empty()) return true;
        auto* oldest = static_cast<XmlRpcRequestMethod*>(awaitingList_.front().message.get());
        answer = reader_.ReadResponse(*oldest);
        if (!answer) return true;
        answered = std::move(awaitingList_.front().message);
        awaitingList_.pop_front();
    }
    // A fault names the request it answers.
    bool fault = dynamic_cast<FaultResponseMethod*>(answer.get()) != nullptr;
    if (fault) answer->SetId(answered->GetId());
    Account(*answered, fault ? SessionAccounting::kFaulted : SessionAccounting::kAnswered);
    answered.reset();
    received_.push_back(std::move(answer));
    return true;
}

void CallServiceClient::Trace(WireTraceSink& sink, WireDirection direction,
                              std::string_view document) {
    std::string masked;
    sink.OnWireMessage(direction, std::chrono::system_clock::now(),
                       TracedDocument(document, masked));
}

void CallServiceClient::DispatchReceived() {
    for (std::unique_ptr<XmlRpcMethod>& message : received_)
        message->Dispatch(*this);
    received_.clear();
}

}  // namespace voxtrel
