// TEMPORARY stand-in for the control's core, linked only with VOXTREL_COM_STUB_CORE=ON until the
// real core (library voxtrel_control) is available: a control that is never connected, so every
// method answers FALSE or "0" and no event ever comes. Its window is the doorbell's.
#include <memory>

#include "control/host_doorbell.h"
#include "control/voxtrel_ctrl.h"

namespace voxtrel {

class EventMailbox {
  public:
    std::unique_ptr<HostDoorbell> doorbell = HostDoorbell::Create(nullptr);
};

class ControlServiceClient {};

CVoxtrelCtrl::CVoxtrelCtrl() : mailbox_(std::make_unique<EventMailbox>()) {}
CVoxtrelCtrl::~CVoxtrelCtrl() = default;

bool CVoxtrelCtrl::Connect(const std::string&, int16_t, int32_t, const std::string&,
                           const std::string&) {
    return false;
}
bool CVoxtrelCtrl::Disconnect() {
    return false;
}
std::string CVoxtrelCtrl::CreateCall(const std::string&, const std::string&) {
    return "0";
}
bool CVoxtrelCtrl::CloseCall(const std::string&) {
    return false;
}
bool CVoxtrelCtrl::TransferCall(const std::string&, const std::string&) {
    return false;
}
bool CVoxtrelCtrl::JoinCalls(const std::string&, const std::string&) {
    return false;
}
bool CVoxtrelCtrl::UnjoinCalls(const std::string&, const std::string&) {
    return false;
}
bool CVoxtrelCtrl::PlayMessage(const std::string&, const std::string&, int16_t) {
    return false;
}
bool CVoxtrelCtrl::EnableDtmfDetection(const std::string&, int32_t) {
    return false;
}
bool CVoxtrelCtrl::IncomingCallHandling(const std::string&, int32_t) {
    return false;
}
bool CVoxtrelCtrl::AcceptCall(const std::string&, const std::string&, const std::string&) {
    return false;
}
bool CVoxtrelCtrl::RejectCall(const std::string&) {
    return false;
}
bool CVoxtrelCtrl::ForwardCall(const std::string&, const std::string&, const std::string&,
                               const std::string&) {
    return false;
}
std::string CVoxtrelCtrl::SubscribeToVoiceMail(const std::string&) {
    return "0";
}
bool CVoxtrelCtrl::Unsubscribe(const std::string&) {
    return false;
}

void CVoxtrelCtrl::SetEventSink(VoxtrelEvents* sink) {
    sink_ = sink;
}

bool CVoxtrelCtrl::CreateControlWindow() {
    if (mailbox_->doorbell) return false;
    mailbox_->doorbell = HostDoorbell::Create(nullptr);
    return mailbox_->doorbell != nullptr;
}
void CVoxtrelCtrl::DestroyControlWindow() {
    mailbox_->doorbell.reset();
}
bool CVoxtrelCtrl::HasControlWindow() const {
    return mailbox_->doorbell != nullptr;
}

int CVoxtrelCtrl::PumpEvents(int timeoutMs) {
    if (mailbox_->doorbell) mailbox_->doorbell->Wait(timeoutMs);
    return 0;
}
int CVoxtrelCtrl::EventDescriptor() const {
    return -1;
}

}  // namespace voxtrel
