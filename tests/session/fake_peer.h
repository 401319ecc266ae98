// A scripted call-processing service for the session tests: it listens on a loopback port,
// accepts one connection at a time and lets the test read the session's messages and answer them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "net/bsd_socket.h"
#include "protocol/message_framer.h"

namespace voxtrel::testing {

class FakePeer {
  public:
    FakePeer();
    uint16_t Port() const { return port_; }

    // Waits up to seconds for the session to connect.
    bool Accept(int seconds = 5) { return AcceptWithin(std::chrono::seconds(seconds)); }
    bool AcceptWithin(std::chrono::milliseconds limit);
    // The next whole message from the session (without its terminator); empty on time-out or
    // when the connection ended.
    bool NextMessage(std::string& message, int seconds = 5);
    // Sends raw bytes, as they stand.
    bool Send(const std::string& bytes);
    // Closes the accepted connection; the listener stays.
    void CloseConnection();
    bool Connected() const { return connection_ != nullptr; }
    // Answers the authenticate request that a new connection starts with, accepting the
    // connection within acceptLimit.
    bool Authenticate(bool accept = true,
                      std::chrono::milliseconds acceptLimit = std::chrono::seconds(5));

  private:
    std::unique_ptr<BsdSocket> listener_;
    std::unique_ptr<BsdSocket> connection_;
    MessageFramer framer_;
    uint16_t port_ = 0;
};

// Documents as the service writes them, each with its terminator.
std::string PlainAnswer(const std::string& id);
std::string AuthenticateAnswer(bool accepted);
std::string FaultAnswer(int32_t code, const std::string& text);
std::string Notification(const char* method, const std::string& params);
std::string StringParam(const std::string& text);
std::string IntParam(int32_t value);
// A call offer ("process") from caller to callee, with its originating call id, for callId.
std::string CallOffer(const std::string& caller, const std::string& callee,
                      const std::string& origCallId, const std::string& callId);
// A voice-mail notice for the subscription, with the mail's caller, time, duration and id.
std::string MailNotice(const std::string& subscriptionId, const std::string& caller,
                       const std::string& time, int32_t duration, int32_t mailId);
// The answer to a subscribe request: its id, whether it is confirmed, the error code.
std::string SubscribeAnswer(const std::string& id, bool confirmed, int32_t errorCode);

// The text of the first string value of a message, or empty.
std::string FirstString(const std::string& message);
// The short method name of a request document ("closecall"), or empty for an answer.
std::string MethodOf(const std::string& message);

}  // namespace voxtrel::testing
