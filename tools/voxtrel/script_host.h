// The scripting host behind `voxtrel run`: executes one command per line against a control on
// the host's thread and reports methods, events, waits and errors as text or JSON lines.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "control/voxtrel_ctrl.h"

namespace voxtrel {

// What a script drives: the control's fifteen methods and its window, whatever face the control
// shows (the portable core directly, or the ActiveX control through COM).
class ScriptTarget {
  public:
    virtual ~ScriptTarget() = default;
    virtual bool Connect(const std::string& server, int16_t port, int32_t timeout,
                         const std::string& user, const std::string& password) = 0;
    virtual bool Disconnect() = 0;
    virtual std::string CreateCall(const std::string& from, const std::string& to) = 0;
    virtual bool CloseCall(const std::string& callID) = 0;
    virtual bool TransferCall(const std::string& callID, const std::string& to) = 0;
    virtual bool JoinCalls(const std::string& callID, const std::string& other) = 0;
    virtual bool UnjoinCalls(const std::string& callID, const std::string& other) = 0;
    virtual bool PlayMessage(const std::string& callID, const std::string& fileName,
                             int16_t playCount) = 0;
    virtual bool EnableDtmfDetection(const std::string& callID, int32_t onoff) = 0;
    virtual bool IncomingCallHandling(const std::string& extension, int32_t enable) = 0;
    virtual bool AcceptCall(const std::string& callID, const std::string& callerID,
                            const std::string& callerDispName) = 0;
    virtual bool RejectCall(const std::string& callID) = 0;
    virtual bool ForwardCall(const std::string& callID, const std::string& callee,
                             const std::string& callerID, const std::string& callerDispName) = 0;
    virtual std::string SubscribeToVoiceMail(const std::string& extension) = 0;
    virtual bool Unsubscribe(const std::string& subscrID) = 0;

    // Handles waiting events for up to timeoutMs, and no more once done() holds after one of them:
    // a wait ends with its event, and what comes after it belongs to the next line.
    virtual void Pump(int timeoutMs, const std::function<bool()>& done) = 0;
    // False, with a reason, where the face has no such window operation.
    virtual bool CreateControlWindow(std::string& error) = 0;
    virtual bool DestroyControlWindow(std::string& error) = 0;
};

// The portable control as a script target.
class ControlScriptTarget : public ScriptTarget {
  public:
    explicit ControlScriptTarget(CVoxtrelCtrl& control) : control_(control) {}
    bool Connect(const std::string& server, int16_t port, int32_t timeout, const std::string& user,
                 const std::string& password) override;
    bool Disconnect() override;
    std::string CreateCall(const std::string& from, const std::string& to) override;
    bool CloseCall(const std::string& callID) override;
    bool TransferCall(const std::string& callID, const std::string& to) override;
    bool JoinCalls(const std::string& callID, const std::string& other) override;
    bool UnjoinCalls(const std::string& callID, const std::string& other) override;
    bool PlayMessage(const std::string& callID, const std::string& fileName,
                     int16_t playCount) override;
    bool EnableDtmfDetection(const std::string& callID, int32_t onoff) override;
    bool IncomingCallHandling(const std::string& extension, int32_t enable) override;
    bool AcceptCall(const std::string& callID, const std::string& callerID,
                    const std::string& callerDispName) override;
    bool RejectCall(const std::string& callID) override;
    bool ForwardCall(const std::string& callID, const std::string& callee,
                     const std::string& callerID, const std::string& callerDispName) override;
    std::string SubscribeToVoiceMail(const std::string& extension) override;
    bool Unsubscribe(const std::string& subscrID) override;
    // The core returns as soon as it has handled the events waiting, one at a time as its
    // worker hands them over; done() has nothing to cut short.
    void Pump(int timeoutMs, const std::function<bool()>& done) override;
    bool CreateControlWindow(std::string& error) override;
    bool DestroyControlWindow(std::string& error) override;

  private:
    CVoxtrelCtrl& control_;
};

// Splits a line into words: blanks separate, double quotes group, \" and \\ escape inside
// quotes. False, with a reason, for an unterminated quote.
bool SplitScriptLine(const std::string& line, std::vector<std::string>& words, std::string& error);
// A JSON string literal of a byte string: bytes 0x80 to 0xFF become the code points of the same
// value, control characters and quotes are escaped.
std::string JsonString(const std::string& bytes);

class ScriptHost : public VoxtrelEvents {
  public:
    ScriptHost(ScriptTarget& target, std::ostream& out, bool json);

    // Executes one line; false once the script asked to quit.
    bool ExecuteLine(const std::string& line);
    // Executes every line of input until its end or `quit`.
    void Run(std::istream& input);

    void CallStateChanged(const std::string& callID, int16_t callState) override;
    void MessagePlayed(const std::string& callID) override;
    void DtmfDigitReceived(const std::string& callID, int16_t digit) override;
    void RequestFailed(const std::string& callID, int32_t failureCode,
                       const std::string& failureString) override;
    void Disconnected() override;
    void CallArrived(const std::string& callID, const std::string& caller,
                     const std::string& callee, const std::string& origCallID) override;
    void MailArrived(const std::string& subscrID, const std::string& caller,
                     const std::string& time, int32_t duration, int32_t id) override;
    void SubscriptionConfirmed(const std::string& subscrID, bool confirmed,
                               int32_t errorCode) override;

  private:
    struct Field {
        const char* name;
        std::string json;  // the value as JSON
        std::string text;  // the value as the readable form shows it
    };

    void Event(const char* name, const std::vector<Field>& fields);
    void Error(const std::string& message);
    bool Method(const std::vector<std::string>& words);
    bool Directive(const std::vector<std::string>& words);
    void PumpFor(double seconds, const char* waitingFor);

    ScriptTarget& target_;
    std::ostream& out_;
    bool json_;
    std::string awaited_;
    bool awaitedFired_ = false;
};

}  // namespace voxtrel
