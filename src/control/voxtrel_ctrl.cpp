// The control: argument conversions of the fifteen methods, the window's life, and the message
// handlers that fire the host's events.
#include "control/voxtrel_ctrl.h"

#include <chrono>
#include <thread>

#include "control/control_service_client.h"
#include "protocol/xmlrpc_method.h"

namespace voxtrel {

namespace {
// Events carry the low 16 bits of the state and of the sign-extended digit.
int16_t Low16(int64_t value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
}

template <class... Params>
void Deliver(VoxtrelEvents& sink, void (VoxtrelEvents::*handler)(Params...),
             std::span<const ControlValue> values) {
    ApplyValues<Params...>([&](auto&&... args) { (sink.*handler)(args...); }, values);
}

template <ControlEventId id, class... Values>
void Fire(VoxtrelEvents& sink, Values&&... values) {
    constexpr const ControlMember& event = kControlEvents[static_cast<int>(id) - 1];
    static_assert(event.count == sizeof...(Values), "an event takes every parameter of its row");
    const ControlValue row[] = {ControlValue(std::forward<Values>(values))..., ControlValue()};
    sink.OnEvent(event, std::span(row, sizeof...(Values)));
}
}  // namespace

void VoxtrelEvents::OnEvent(const ControlMember& event, std::span<const ControlValue> values) {
    if (values.size() < event.count) return;
    switch (event.dispid) {
#define VOXTREL_DELIVER(id, name, ...)                \
    case id:                                          \
        Deliver(*this, &VoxtrelEvents::name, values); \
        break;
        VOXTREL_EVENTS(VOXTREL_DELIVER, )
#undef VOXTREL_DELIVER
        default:
            break;
    }
}

CVoxtrelCtrl::CVoxtrelCtrl()
    : mailbox_(std::make_unique<EventMailbox>(
          [this](const ControlMessage& message) { HandleMessage(message); })) {
    mailbox_->Open();
    session_ = std::make_unique<ControlServiceClient>(this, mailbox_.get());
}

CVoxtrelCtrl::~CVoxtrelCtrl() {
    // The worker may be waiting on the window: release it before the session stops it.
    mailbox_->SetRefusing(true);
    session_.reset();
    mailbox_.reset();
}

void CVoxtrelCtrl::HandleMessage(const ControlMessage& message) {
    VoxtrelEvents* sink = sink_;
    if (sink == nullptr) return;
    switch (message.message) {
        case WM_CALLARRIVED:
            Fire<ControlEventId::CallArrived>(*sink, message.id, message.callArrived.caller,
                                              message.callArrived.callee,
                                              FormatId(message.callArrived.origCallId));
            break;
        case WM_CALLSTATECHANGED:
            Fire<ControlEventId::CallStateChanged>(*sink, message.id, Low16(message.value));
            break;
        case WM_MESSAGEPLAYED:
            Fire<ControlEventId::MessagePlayed>(*sink, message.id);
            break;
        case WM_DTMFDIGITRECEIVED:
            Fire<ControlEventId::DtmfDigitReceived>(*sink, message.id, Low16(message.value));
            break;
        case WM_REQUESTFAILED:
            Fire<ControlEventId::RequestFailed>(*sink, message.id, message.requestFailed.code,
                                                message.requestFailed.text);
            break;
        case WM_DISCONNECTED:
            ++disconnectedHandlers_;
            Fire<ControlEventId::Disconnected>(*sink);
            --disconnectedHandlers_;
            break;
        case WM_MAILARRIVED:
            Fire<ControlEventId::MailArrived>(
                *sink, message.id, message.mailArrived.caller, message.mailArrived.time,
                message.mailArrived.duration, message.mailArrived.mailId);
            break;
        case WM_SUBSCRIPTIONCONFIRMED:
            Fire<ControlEventId::SubscriptionConfirmed>(*sink, message.id,
                                                        message.subscription.confirmed != 0,
                                                        message.subscription.errorCode);
            break;
        default:
            break;
    }
}

bool CVoxtrelCtrl::Connect(const std::string& serverAddress, int16_t serverPort, int32_t timeout,
                           const std::string& username, const std::string& password) {
    if (!session_) return false;
    if (session_->ReportingLoss()) {
        // The outcomes of a lost connection are on their way to this thread. Connecting before
        // they have all arrived would lose them, or wait on a worker that waits on us. The
        // Disconnected handler, the last of them, may reconnect: its delivery then counts as
        // done. Elsewhere Connect waits, briefly, only while the worker does not wait on us.
        if (disconnectedHandlers_ > 0) {
            mailbox_->ReleaseInHand();
        } else if (!AwaitLossReported()) {
            return false;
        }
    }
    return session_->Connect(serverAddress, static_cast<uint16_t>(serverPort), timeout, username,
                             password);
}

bool CVoxtrelCtrl::AwaitLossReported() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (session_->ReportingLoss()) {
        if (mailbox_->SenderWaiting() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool CVoxtrelCtrl::Disconnect() {
    if (!session_) return false;
    // Deliveries on their way are dropped, and none waits on the host while it disconnects.
    mailbox_->SetRefusing(true);
    bool disconnected = session_->Disconnect();
    mailbox_->SetRefusing(false);
    return disconnected;
}

std::string CVoxtrelCtrl::CreateCall(const std::string& from, const std::string& to) {
    if (!session_) return "0";
    return FormatId(session_->CreateCall(from, to));
}

bool CVoxtrelCtrl::CloseCall(const std::string& callID) {
    return session_ && session_->CloseCall(ParseId(callID));
}

bool CVoxtrelCtrl::TransferCall(const std::string& callID, const std::string& to) {
    return session_ && session_->TransferCall(ParseId(callID), to);
}

bool CVoxtrelCtrl::JoinCalls(const std::string& callID, const std::string& callIDtoJoin) {
    return session_ && session_->JoinCalls(ParseId(callID), ParseId(callIDtoJoin));
}

bool CVoxtrelCtrl::UnjoinCalls(const std::string& callID, const std::string& callIDtoUnjoin) {
    return session_ && session_->UnjoinCalls(ParseId(callID), ParseId(callIDtoUnjoin));
}

bool CVoxtrelCtrl::PlayMessage(const std::string& callID, const std::string& fileName,
                               int16_t playCount) {
    return session_ && session_->PlayMessage(ParseId(callID), fileName, playCount);
}

bool CVoxtrelCtrl::EnableDtmfDetection(const std::string& callID, int32_t onoff) {
    return session_ && session_->EnableDtmfDetection(ParseId(callID), onoff);
}

bool CVoxtrelCtrl::IncomingCallHandling(const std::string& extensionName, int32_t enable) {
    return session_ && session_->IncomingCallHandling(extensionName, enable);
}

bool CVoxtrelCtrl::AcceptCall(const std::string& callID, const std::string& callerID,
                              const std::string& callerDispName) {
    return session_ && session_->AcceptCall(ParseId(callID), callerID, callerDispName);
}

bool CVoxtrelCtrl::RejectCall(const std::string& callID) {
    return session_ && session_->RejectCall(ParseId(callID));
}

bool CVoxtrelCtrl::ForwardCall(const std::string& callID, const std::string& callee,
                               const std::string& callerID, const std::string& callerDispName) {
    return session_ && session_->ForwardCall(ParseId(callID), callee, callerID, callerDispName);
}

std::string CVoxtrelCtrl::SubscribeToVoiceMail(const std::string& extensionName) {
    if (!session_) return "0";
    return FormatId(session_->Subscribe(extensionName));
}

bool CVoxtrelCtrl::Unsubscribe(const std::string& subscrID) {
    return session_ && session_->Unsubscribe(ParseId(subscrID));
}

void CVoxtrelCtrl::SetEventSink(VoxtrelEvents* sink) {
    sink_ = sink;
}

void CVoxtrelCtrl::SetSessionAccounting(SessionAccounting* accounting) {
    if (session_) session_->SetAccounting(accounting);
}

void CVoxtrelCtrl::SetWireTrace(WireTraceSink* sink) {
    if (session_) session_->SetWireTrace(sink);
}

bool CVoxtrelCtrl::CreateControlWindow() {
    return mailbox_->Open();
}

void CVoxtrelCtrl::DestroyControlWindow() {
    mailbox_->Close();
}

bool CVoxtrelCtrl::HasControlWindow() const {
    return mailbox_->IsOpen();
}

int CVoxtrelCtrl::PumpEvents(int timeoutMs) {
    return mailbox_->Pump(timeoutMs);
}

int CVoxtrelCtrl::EventDescriptor() const {
    return mailbox_->Descriptor();
}

}  // namespace voxtrel
