// The simulated service on one thread, without locks: the listening socket, the connections with
// their framers and output buffers, the protocol side, the call model and the console commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/bsd_socket.h"
#include "pbx/call_model.h"
#include "pbx/method_behavior.h"
#include "pbx/pbx_platform.h"
#include "pbx/pbx_simulator.h"
#include "protocol/message_framer.h"
#include "protocol/wire_trace.h"
#include "protocol/xmlrpc_method.h"

namespace voxtrel::pbx {

// What a connection keeps for the faults injected into its stream.
struct StreamFaults {
    // Output that waits for its time: a delayed answer and everything queued after it, in order.
    struct Late {
        Clock::time_point due;
        std::string text;
    };
    std::deque<Late> late;
    size_t lateBytes = 0;
    // A random close cuts the stream at closeAt; it drops what is still unsent instead of
    // flushing it.
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
    uint64_t closeAt = kNever;
    bool abort = false;
    // An unterminated flood: filler still to send. Nothing else follows it.
    bool flooding = false;
    size_t floodLeft = 0;
    // With split writes, the next piece leaves no earlier.
    Clock::time_point nextWrite;
    // The stream up to this byte leaves in pieces of a few bytes (the hostile floods), so that
    // the peer receives it in many small reads.
    uint64_t piecesUntil = 0;
    // With slow reading, the bytes the connection may read now, and when that last grew.
    double readAllowance = 0;
    Clock::time_point allowanceTime;
};

struct Connection {
    explicit Connection(size_t maxMessageBytes) : framer(maxMessageBytes) {}

    // A notification sent and not yet acknowledged.
    struct Notice {
        uint32_t methodType;
        uint64_t id;
    };

    ConnectionId id = 0;
    std::string peer;
    // The process-wide show-errors flag stays as the process's owner set it.
    BsdSocket socket{ShowSocketErrors()};
    MessageFramer framer;
    std::string output;
    size_t outputStart = 0;  // bytes before it are sent
    // Bytes handed to the socket so far.
    uint64_t sent = 0;
    bool authenticated = false;
    std::string user;
    std::set<std::string> extensions;  // taken over by incomingcallhandling
    std::set<uint64_t> subscriptions;
    std::deque<Notice> unacknowledged;
    // Set by Close; the connection is removed at the end of the pass.
    bool closing = false;
    std::string closeReason;
    StreamFaults faults;

    size_t Pending() const { return output.size() - outputStart; }
};

// The faults injected into every connection's byte stream.
struct StreamChaos {
    uint32_t closePercent = 0;  // chance of a close after each message written or read
    bool splitWrites = false;   // each write hands the socket a random prefix
    uint32_t readRate = 0;      // bytes per second read from each connection; 0: no limit
};

// Everything the service keeps to inject faults, apart from its protocol and call state.
struct FaultInjection {
    explicit FaultInjection(uint64_t seed) : seed(seed), random(seed) {}

    MethodBehaviorTable methods;
    StreamChaos chaos;
    // The seed of random, as the chaos command prints it.
    uint64_t seed;
    std::mt19937_64 random;
    // The delay of the answers to the request being handled.
    std::chrono::milliseconds answerDelay{0};
};

class PbxService final : private CallModelEvents {
  public:
    // Limits per connection, so that no peer makes the service hold much: beyond them the
    // oldest unacknowledged entry is forgotten, or the request is refused.
    static constexpr size_t kMaxUnacknowledged = 4096;
    static constexpr size_t kMaxExtensions = 256;
    static constexpr size_t kMaxExtensionName = 256;
    static constexpr size_t kMaxSubscriptions = 256;
    // An injected flood: past the longest unterminated message any peer of the service keeps.
    static constexpr size_t kFloodBytes = MessageFramer::kDefaultLimit + 64 * 1024;
    // Hostile messages: their defaults and their bounds, all well inside a peer's message limit
    // and the service's own output limit.
    static constexpr size_t kDefaultNesting = 10000;
    static constexpr size_t kMaxNesting = 20000;
    static constexpr size_t kDefaultAttributes = 50000;
    static constexpr size_t kMaxAttributes = 80000;
    static constexpr size_t kDefaultCrBytes = 1000 * 1000;
    static constexpr size_t kMaxCrBytes = 1000 * 1000;
    // Offers that one offers command makes at once.
    static constexpr size_t kMaxOffersAtOnce = 5000;

    // What the connections have sent, for the counts command: it shows how much of what a
    // peer issued has arrived.
    struct Received {
        uint64_t requests = 0;
        uint64_t accepted = 0;
        uint64_t declined = 0;
        uint64_t redirected = 0;
        uint64_t acknowledged = 0;
    };

    // A console command, one entry per form of it; the forms of a command follow each other.
    using Words = std::vector<std::string_view>;
    struct ConsoleCommand {
        std::string_view name;
        std::string_view synopsis;
        std::string help;
        bool (PbxService::*run)(std::string_view line, const Words& words, std::string& reply);
    };
    // In the order of help's list and of the --help text.
    static const std::vector<ConsoleCommand>& Commands();

    explicit PbxService(const PbxOptions& options);
    ~PbxService();
    PbxService(const PbxService&) = delete;
    PbxService& operator=(const PbxService&) = delete;

    bool Listen(std::string& error);
    const std::string& Host() const { return host_; }
    uint16_t Port() const { return port_; }

    // One pass: waits for the sockets, a wake-up of the poller or the next timed step of the
    // call model (at most maxWait), then serves whatever is ready.
    void Serve(Poller& poller, std::chrono::milliseconds maxWait);
    // A console command and its one-line reply; false when it failed.
    bool Execute(std::string_view line, std::string& reply);
    // Closes every connection and the listening socket.
    void Shutdown();

  private:
    class Inbound;
    friend class Inbound;

    // CallModelEvents: notifications to one connection.
    void CallStateChanged(ConnectionId connection, uint64_t callId, int32_t state) override;
    void MessagePlayed(ConnectionId connection, uint64_t callId) override;
    void DtmfDigit(ConnectionId connection, uint64_t callId, char digit) override;
    void CallOffered(ConnectionId connection, uint64_t callId, const PartyAddress& caller,
                     const PartyAddress& callee, uint64_t origCallId) override;
    std::vector<ConnectionId> HandlersOf(const std::string& extension) override;

    void AcceptConnections();
    void Receive(Connection& connection);
    void HandleMessage(Connection& connection, const std::string& text);
    void HandleRequest(Connection& connection, XmlRpcRequestMethod& request);
    void HandleAnswer(Connection& connection, const std::string& text);
    void Acknowledge(Connection& connection, uint64_t id);

    // Answers of the service to a request of the connection.
    void Answer(Connection& connection, const XmlRpcResponseMethod& answer);
    void AnswerFault(Connection& connection, uint32_t methodType, int32_t code,
                     const std::string& text);
    // A request of the service (a notification or an offer) to the connection.
    void Notify(ConnectionId to, const XmlRpcRequestMethod& request, uint64_t id);
    // Output in order: it waits behind late output, and delay makes it late itself.
    void Queue(Connection& connection, std::string_view text,
               std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // Moves the late output that is due to the output buffer.
    void Release(Connection& connection);
    // Appends to the output buffer; a random close may be set to cut this text.
    void Emit(Connection& connection, std::string_view text);
    void Flush(Connection& connection);
    void RefillFlood(Connection& connection);
    // Whether the connection may read now under slow reading; if not, wake is brought
    // forward to when it may.
    bool MayRead(Connection& connection, Clock::time_point& wake);
    void Close(Connection& connection, std::string reason);
    // Removes the closed connections; their calls end, which may close others in turn.
    void Sweep();
    Connection* Live(ConnectionId id);

    // Console commands: the whole line, its words (the command's name first) and the reply.
    bool Offer(std::string_view line, const Words& words, std::string& reply);
    bool Offers(std::string_view line, const Words& words, std::string& reply);
    bool Mail(std::string_view line, const Words& words, std::string& reply);
    bool Dtmf(std::string_view line, const Words& words, std::string& reply);
    bool State(std::string_view line, const Words& words, std::string& reply);
    bool Fault(std::string_view line, const Words& words, std::string& reply);
    bool FaultRate(std::string_view line, const Words& words, std::string& reply);
    bool Delay(std::string_view line, const Words& words, std::string& reply);
    // mute and unmute.
    bool Mute(std::string_view line, const Words& words, std::string& reply);
    bool Chaos(std::string_view line, const Words& words, std::string& reply);
    bool Garbage(std::string_view line, const Words& words, std::string& reply);
    bool Flood(std::string_view line, const Words& words, std::string& reply);
    // nest, attributes, cr-flood and crlfcr-flood: one hostile message each.
    bool Hostile(std::string_view line, const Words& words, std::string& reply);
    bool CloseAll(std::string_view line, const Words& words, std::string& reply);
    bool Status(std::string_view line, const Words& words, std::string& reply);
    bool Counts(std::string_view line, const Words& words, std::string& reply);
    bool Help(std::string_view line, const Words& words, std::string& reply);
    // Queues text that leaves in pieces of a few bytes each.
    void QueueInPieces(Connection& connection, std::string_view text);
    // The connection a command names, or one at random when it names none; null, with the
    // reply set to the command's usage or failure, when there is none.
    Connection* Target(const Words& words, std::string& reply);
    void Log(const std::string& line) const;
    // Whether Log goes anywhere: the lines of every message are built only for a log.
    bool Logging() const { return static_cast<bool>(options_.log); }
    // Logs that the answer about to be written is delayed, when it is.
    void NoteLate(const Connection& connection) const;
    // Logs text (one message, or several that leave together) as wire trace lines behind the
    // connection's number.
    void Trace(ConnectionId id, WireDirection direction, std::string_view text) const;

    PbxOptions options_;
    std::unique_ptr<BsdSocket> listener_;
    std::string host_;
    uint16_t port_ = 0;
    std::map<ConnectionId, std::unique_ptr<Connection>> connections_;
    ConnectionId nextConnectionId_ = 1;
    CallModel model_;
    FaultInjection faults_;
    Clock::time_point now_;
    std::vector<char> receiveBuffer_;
    std::vector<PollEntry> pollEntries_;
    std::vector<ConnectionId> polledConnections_;
    // While a request is handled, notifications for its connection wait here, so that the
    // request's answer goes first.
    ConnectionId holding_ = 0;
    std::string held_;
    Received received_;
};

}  // namespace voxtrel::pbx
