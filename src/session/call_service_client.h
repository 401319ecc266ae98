// The service session: one connection to the call-processing service, a worker thread that
// does all network work, the queue of messages to write and the list of requests awaiting their
// answers. Its notification operations, which the received messages' Dispatch calls, run on the
// worker thread; a subclass implements them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/socket_handle.h"
#include "protocol/call_service_notifications.h"
#include "protocol/message_framer.h"
#include "protocol/party_address.h"
#include "protocol/xmlrpc_method.h"
#include "session/wire_trace_sink.h"

namespace voxtrel {

class BsdSocket;
class WakeChannel;
struct SocketWaitEntry;

enum SessionState : int32_t {
    kIdle = 0,
    kConnecting = 1,
    kConnected = 2,
    kAuthenticated = 3,
    kClosing = 4,
};

// Failure codes of the session's own reports through OnRequestFailed.
constexpr int32_t kRequestTimeout = 100;
constexpr int32_t kClosedLocally = 101;
constexpr int32_t kClosedRemotely = 102;
constexpr int32_t kConnectionTimeout = 103;

// One message in the send queue or the awaiting list; moving an entry moves the message.
struct RequestEntry {
    std::unique_ptr<XmlRpcMethod> message;
    time_t timeWritten = 0;
};

// Accounting of every message the session takes: how each one ended. Tests and soak runs attach
// one to prove that nothing is lost or ended twice; without one the session pays nothing.
class SessionAccounting {
  public:
    enum Outcome {
        kWritten,             // an answer of this side, handed to the connection
        kAnswered,            // a request read its answer
        kFaulted,             // a request read a fault
        kTimedOut,            // 100
        kClosedLocally,       // 101
        kClosedRemotely,      // 102
        kConnectionTimedOut,  // 103
        kUnwritable,          // a message whose Write failed, dropped unsent
        kDiscarded,           // still queued when the session was destroyed
    };
    virtual ~SessionAccounting() = default;
    // Both run on whichever thread queues or ends the message, possibly concurrently.
    virtual void Accepted(const XmlRpcMethod& message) = 0;
    virtual void Ended(const XmlRpcMethod& message, Outcome outcome) = 0;
};

class CallServiceClient : public CallServiceNotifications {
  public:
    // Output that the service leaves unread beyond it ends the connection as lost (102): the
    // kernel's buffers are full by then, and a reader that far behind is gone.
    static constexpr size_t kMaxUnsentBytes = size_t{4} << 20;

    // The session's operations, on the host's thread. Each request operation returns false (or
    // 0) at once unless the session is authenticated (and its connection is not being lost),
    // and otherwise queues its message and returns true (or the new id) without waiting: its
    // outcome is then certain to be reported.
    bool Connect(const std::string& server, uint16_t port, int32_t timeout,
                 const std::string& userName, const std::string& password);
    bool Disconnect();
    uint64_t CreateCall(const std::string& from, const std::string& to);
    bool CloseCall(uint64_t callId);
    bool TransferCall(uint64_t callId, const std::string& to);
    bool JoinCalls(uint64_t callId, uint64_t callIdToJoin);
    bool UnjoinCalls(uint64_t callId, uint64_t callIdToUnjoin);
    bool PlayMessage(uint64_t callId, const std::string& fileName, int32_t playCount);
    bool EnableDtmfDetection(uint64_t callId, int32_t on);
    bool IncomingCallHandling(const std::string& extensionName, int32_t enable);
    bool AcceptCall(uint64_t callId, const std::string& callerId, const std::string& displayName);
    bool RejectCall(uint64_t callId);
    bool ForwardCall(uint64_t callId, const std::string& callee, const std::string& callerId,
                     const std::string& displayName);
    uint64_t Subscribe(const std::string& extensionName);
    bool Unsubscribe(uint64_t subscriptionId);

    SessionState State() const { return static_cast<SessionState>(state_.load()); }
    // True while the worker is still handing the failures and the disconnection of a lost
    // connection to the notifications, which may wait on the host's thread.
    bool ReportingLoss() const { return reportingLoss_.load(); }
    // False when the wake-up channel could not be made: the session then has no worker and
    // every Connect fails.
    bool Usable() const { return worker_.joinable(); }
    int32_t Timeout() const { return timeout_.load(); }

    // Unique and strictly increasing within the process, from the monotonic clock.
    static uint64_t NewId();

    // Any thread: appends the message to the send queue and wakes the worker. False, and the
    // message is dropped untouched, when the worker has already failed the queue of the
    // connection it was meant for (it is being lost, closed or never came up).
    bool Enqueue(std::unique_ptr<XmlRpcMethod> message);

    // True when text can be written into a request as it stands: texts with "<", a zero byte
    // or the message terminator would change the document or cut the message, so the request
    // operations refuse them.
    static bool AcceptableText(std::string_view text);

    // Attaches the accounting (not owned) before the session is used; null detaches.
    void SetAccounting(SessionAccounting* accounting) { accounting_.store(accounting); }
    // Any thread: the sink (not owned) of every message sent and received from now on; null
    // stops the trace. A call already under way may still reach the sink it replaces. While a
    // sink is set, every message goes out through the worker, so that the sink runs there only.
    void SetWireTrace(WireTraceSink* sink) { wireTrace_.store(sink, std::memory_order_release); }

  protected:
    // Starts the worker thread; the session is idle.
    CallServiceClient();
    // The most derived destructor calls Shutdown first, while its notifications still exist.
    ~CallServiceClient();

    // Disconnects, stops the worker and deletes everything still queued without notifications.
    // Idempotent.
    void Shutdown();
    // Moves the state from `from` to `to`; false when it was not `from`.
    bool ChangeState(SessionState from, SessionState to);
    // The worker's step when an authenticated connection is lost; nothing by default.
    virtual void NotifyDisconnected() {}

  private:
    void WorkerLoop();
    void SetState(SessionState state);
    void Wake();
    // Waits until the state is one of the wanted ones or the session's wait bound passes.
    SessionState WaitForState(std::initializer_list<SessionState> wanted);
    SessionState WaitForState(std::initializer_list<SessionState> wanted,
                              std::chrono::milliseconds limit);
    // Connect's end when its wait ran out: an attempt still under way is abandoned, one that the
    // worker authenticated meanwhile stands (true).
    bool GiveUpConnecting();
    // Hands every queued message to the output while the socket keeps up.
    void WriteQueued(time_t now);
    // Cuts and reads one received message, queues its answer and keeps it for its dispatch;
    // false when none is complete.
    bool ExtractMessage();
    // Dispatches the messages kept, in the order received.
    void DispatchReceived();
    // Reports every queued and awaiting message as failed, in order, after the lock is released.
    void FailAll(int32_t code, const char* text);
    void DropConnection();
    // What the worker waits for after a pass: its connection, for reading and or writing, and
    // for how long (seconds; negative without a limit).
    struct Watch {
        SocketHandle handle = kInvalidSocket;
        bool read = false;
        bool write = false;
        int limitSeconds = -1;
        // Requests await their answers, and some of them were written since the last pass.
        bool answersAwaited = false;
        bool requestsWritten = false;
    };
    // Checks the watched sockets without sleeping until then; true when one is ready.
    bool AwaitAnswerAwake(SocketWaitEntry* entries, std::chrono::steady_clock::time_point until);
    // The passes of the worker by state; each says what to watch next.
    SessionState ConnectingPass(time_t now, bool writable, Watch& watch);
    void ConnectedPass(time_t now, bool readable, bool writable, Watch& watch);
    // The write step and the time-out step of an established connection; false when the
    // service has left too much output unread.
    bool WriteAndTimeOut(time_t now, bool writable, Watch& watch);
    // Enqueue's write of a message that nothing is queued before, on the host's thread, under
    // queueLock_; true when the worker is to be woken.
    bool WriteDirectly(std::unique_ptr<XmlRpcMethod> message);
    // Hands pending output to the connection; keeps what it does not take. Under queueLock_.
    void Flush();
    // Hands one document to the sink, its password masked; document may end in the terminator.
    static void Trace(WireTraceSink& sink, WireDirection direction, std::string_view document);
    void Account(const XmlRpcMethod& message, SessionAccounting::Outcome outcome) {
        if (SessionAccounting* accounting = accounting_.load()) accounting->Ended(message, outcome);
    }

    std::atomic<int32_t> state_{kIdle};
    // True while the worker ends a connection that the service closed, until it is idle.
    std::atomic<bool> dropping_{false};
    std::atomic<bool> reportingLoss_{false};
    std::atomic<bool> workerEnded_{false};
    // The worker's. While accepting_ holds, the host's thread may also send on the connection's
    // handle and fill an empty output, under queueLock_: so the worker, too, sends and changes
    // the output only under that lock, and destroys the connection only once accepting_ ended.
    std::unique_ptr<BsdSocket> connection_;
    MessageFramer receiveBuffer_;
    // The worker's reader of received messages, its buffers kept from one to the next.
    MessageReader reader_;
    std::string outputBuffer_;
    // The messages read from the last chunk received, waiting for their dispatch.
    std::vector<std::unique_ptr<XmlRpcMethod>> received_;
    std::mutex queueLock_;
    std::deque<RequestEntry> sendQueue_;
    std::deque<RequestEntry> awaitingList_;
    // A request went on the awaiting list since the worker's last write step looked.
    bool requestsWrittenUnseen_ = false;
    // Whether Enqueue takes messages: from Connect until the worker fails the queues.
    bool accepting_ = false;
    std::atomic<time_t> connectStart_{0};
    std::atomic<int32_t> timeout_{20};
    std::unique_ptr<WakeChannel> wakeChannel_;
    std::atomic<bool> running_{false};
    std::thread worker_;
    // Connect and Disconnect wait on the state with this event instead of polling.
    std::mutex stateLock_;
    std::condition_variable stateChanged_;
    std::atomic<SessionAccounting*> accounting_{nullptr};
    std::atomic<WireTraceSink*> wireTrace_{nullptr};
};

}  // namespace voxtrel
