// The tests' raw loopback client of the simulator: protocol messages over a plain socket, cut with
// MessageFramer; the service's requests are kept apart from its answers and acknowledged.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/bsd_socket.h"
#include "protocol/message_framer.h"
#include "protocol/party_address.h"
#include "protocol/xmlrpc_method.h"

namespace voxtrel::pbx::testing {

// Every receive waits at most this long (values above 3600 are microseconds).
constexpr uint32_t kWait = 5'000'000;
// The wait of a check that nothing arrives.
constexpr uint32_t kQuietWait = 300'000;

// What an answer said, as the request that it answers reads it.
struct Reply {
    bool received = false;
    bool fault = false;
    int32_t faultCode = 0;
    std::string faultText;
    uint64_t id = 0;  // the answer's id param
    std::unique_ptr<XmlRpcResponseMethod> answer;
};

// "callstatechanged 7 3", "messageplayed 7", "dtmfdigitdetected 7 #", "process 1",
// "mailarrived 9": a service request in one line.
std::string Describe(const XmlRpcRequestMethod& request);
PartyAddress Address(std::string_view text);

class PbxTestClient {
  public:
    bool Connect(uint16_t port);
    void Disconnect() { socket_.Close(); }

    bool SendText(std::string_view text);
    // Writes the message; false when it does not write or send.
    bool Send(const XmlRpcMethod& message);
    // The plain answer that acknowledges a service request.
    bool Acknowledge(const XmlRpcRequestMethod& request);

    // The next answer, reading past (and keeping) service requests; false when none came.
    bool NextAnswer(std::string& answer, uint32_t wait = kWait);
    // The next service request, kept ones first; null when none came.
    std::unique_ptr<XmlRpcRequestMethod> NextRequest(uint32_t wait = kWait);
    // Describe of the next service request, or "nothing".
    std::string NextNotice(uint32_t wait = kWait);

    // Sends the request and reads the next answer as the request's answer.
    Reply Call(const XmlRpcRequestMethod& request);
    Reply ReadReply(const XmlRpcRequestMethod& request, uint32_t wait = kWait);
    // True when accepted.
    bool Authenticate(const std::string& user, const std::string& password);
    // A harmless request and its answer: everything sent before has been handled. False also
    // when an earlier answer is still unread.
    bool Sync();
    // Reads and drops until the service closes the connection; false when it stays open.
    bool WaitClosed(uint32_t wait = kWait);

    bool autoAcknowledge = true;
    // Every message received, in order: Describe of requests, "answer" for answers.
    std::vector<std::string> transcript;

  private:
    // One whole message; false on time-out or when the connection ended.
    bool Next(std::string& message, uint32_t wait);
    // Routes one message into the kept requests or answers.
    void Keep(const std::string& message);

    BsdSocket socket_{false};
    MessageFramer framer_;
    bool closed_ = false;
    std::deque<std::unique_ptr<XmlRpcRequestMethod>> requests_;
    std::deque<std::string> answers_;
};

}  // namespace voxtrel::pbx::testing
