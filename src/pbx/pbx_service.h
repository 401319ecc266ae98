// The simulated service on one thread, without locks: the listening socket, the connections with
// their framers and output buffers, the protocol side, the call model and the console commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
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
#include "protocol/xmlrpc_method.h"

namespace voxtrel::pbx {

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
    bool authenticated = false;
    std::string user;
    std::set<std::string> extensions;  // taken over by incomingcallhandling
    std::set<uint64_t> subscriptions;
    std::deque<Notice> unacknowledged;
    // Set by Close; the connection is removed at the end of the pass.
    bool closing = false;
    std::string closeReason;

    size_t Pending() const { return output.size() - outputStart; }
};

class PbxService final : private CallModelEvents {
  public:
    // Limits per connection, so that no peer makes the service hold much: beyond them the
    // oldest unacknowledged entry is forgotten, or the request is refused.
    static constexpr size_t kMaxUnacknowledged = 4096;
    static constexpr size_t kMaxExtensions = 256;
    static constexpr size_t kMaxExtensionName = 256;
    static constexpr size_t kMaxSubscriptions = 256;

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
    void Queue(Connection& connection, std::string_view text);
    void Flush(Connection& connection);
    void Close(Connection& connection, std::string reason);
    // Removes the closed connections; their calls end, which may close others in turn.
    void Sweep();
    Connection* Live(ConnectionId id);

    // Console commands.
    bool Offer(const std::vector<std::string_view>& words, std::string& reply);
    bool Mail(const std::vector<std::string_view>& words, std::string& reply);
    bool Status(const std::vector<std::string_view>& words, std::string& reply);
    bool CloseAll(std::string& reply);

    void Log(const std::string& line) const;

    PbxOptions options_;
    std::unique_ptr<BsdSocket> listener_;
    std::string host_;
    uint16_t port_ = 0;
    std::map<ConnectionId, std::unique_ptr<Connection>> connections_;
    ConnectionId nextConnectionId_ = 1;
    CallModel model_;
    MethodBehaviorTable behaviors_;
    Clock::time_point now_;
    std::vector<char> receiveBuffer_;
    std::vector<PollEntry> pollEntries_;
    std::vector<ConnectionId> polledConnections_;
    // While a request is handled, notifications for its connection wait here, so that the
    // request's answer goes first.
    ConnectionId holding_ = 0;
    std::string held_;
};

}  // namespace voxtrel::pbx
