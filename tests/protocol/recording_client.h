// A CallServiceNotifications that records every notification as one line of text, for the protocol
// tests and the interoperability tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/call_service_notifications.h"

namespace voxtrel {

inline std::string Describe(const PartyAddress& a) {
    std::string text = "{kind=" + std::to_string(a.kind) + " number=" + a.number;
    if (!a.option.empty()) text += " option=" + a.option;
    if (!a.displayName.empty()) text += " name=" + a.displayName;
    if (!a.host.empty()) text += " host=" + a.host;
    if (!a.port.empty()) text += " port=" + a.port;
    return text + "}";
}

class RecordingClient : public CallServiceNotifications {
  public:
    void OnAuthenticate(const std::string& u, const std::string& p) override {
        Add("OnAuthenticate " + u + " " + p);
    }
    void OnAuthenticateResponse(bool ok, const std::string& text) override {
        Add("OnAuthenticateResponse " + B(ok) + " " + text);
    }
    void OnIncomingCallHandling(const std::string& ext, bool on) override {
        Add("OnIncomingCallHandling " + ext + " " + B(on));
    }
    void OnCallArrived(const uint64_t& id, const PartyAddress& from, const PartyAddress& to,
                       const uint64_t& orig) override {
        Add("OnCallArrived " + N(id) + " " + Describe(from) + " " + Describe(to) + " " + N(orig));
    }
    void OnCallAccepted(const uint64_t& id, const std::string& callerId,
                        const std::string& name) override {
        Add("OnCallAccepted " + N(id) + " " + callerId + " " + name);
    }
    void OnCallRedirected(const uint64_t& id, const std::vector<PartyAddress>& targets,
                          const std::string& callerId, const std::string& name) override {
        std::string line = "OnCallRedirected " + N(id);
        for (const PartyAddress& t : targets)
            line += " " + Describe(t);
        Add(line + " " + callerId + " " + name);
    }
    void OnCallDeclined(const uint64_t& id) override { Add("OnCallDeclined " + N(id)); }
    void OnCreateCall(const uint64_t& id, const std::string& from,
                      const PartyAddress& to) override {
        Add("OnCreateCall " + N(id) + " " + from + " " + Describe(to));
    }
    void OnCloseCall(const uint64_t& id) override { Add("OnCloseCall " + N(id)); }
    void OnTransferCall(const uint64_t& id, const PartyAddress& to) override {
        Add("OnTransferCall " + N(id) + " " + Describe(to));
    }
    void OnJoinCalls(const uint64_t& id, const uint64_t& other) override {
        Add("OnJoinCalls " + N(id) + " " + N(other));
    }
    void OnUnjoinCalls(const uint64_t& id, const uint64_t& other) override {
        Add("OnUnjoinCalls " + N(id) + " " + N(other));
    }
    void OnPlayMessage(const uint64_t& id, const std::string& file, int32_t count) override {
        Add("OnPlayMessage " + N(id) + " " + file + " " + std::to_string(count));
    }
    void OnEnableDtmfDetection(const uint64_t& id, bool on) override {
        Add("OnEnableDtmfDetection " + N(id) + " " + B(on));
    }
    void OnCallStateChanged(const uint64_t& id, int32_t state) override {
        Add("OnCallStateChanged " + N(id) + " " + std::to_string(state));
    }
    void OnMessagePlayed(const uint64_t& id) override { Add("OnMessagePlayed " + N(id)); }
    void OnDtmfDigitReceived(const uint64_t& id, char digit) override {
        Add("OnDtmfDigitReceived " + N(id) + " " + std::string(1, digit));
    }
    void OnSubscribe(const uint64_t& id, const std::string& ext) override {
        Add("OnSubscribe " + N(id) + " " + ext);
    }
    void OnUnsubscribe(const uint64_t& id) override { Add("OnUnsubscribe " + N(id)); }
    void OnSubscriptionConfirmed(const uint64_t& id, bool ok, int32_t code) override {
        Add("OnSubscriptionConfirmed " + N(id) + " " + B(ok) + " " + std::to_string(code));
    }
    void OnMailArrived(const uint64_t& id, const PartyAddress& from, const std::string& time,
                       int32_t duration, int32_t mailId) override {
        Add("OnMailArrived " + N(id) + " " + Describe(from) + " " + time + " " +
            std::to_string(duration) + " " + std::to_string(mailId));
    }
    void OnRequestFailed(const uint64_t& id, int32_t code, const std::string& text) override {
        Add("OnRequestFailed " + N(id) + " " + std::to_string(code) + " " + text);
    }

    std::vector<std::string> calls;

  private:
    static std::string N(uint64_t v) { return std::to_string(v); }
    static std::string B(bool v) { return v ? "true" : "false"; }
    void Add(std::string line) { calls.push_back(std::move(line)); }
};

}  // namespace voxtrel
