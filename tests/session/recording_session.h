// Test support of the session suites: a session that records its notifications as lines, a
// ledger that checks every message ends once, and a session connected to a fake peer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_peer.h"
#include "session/call_service_client.h"

namespace voxtrel::testing {

using Clock = std::chrono::steady_clock;

// A session whose notifications are recorded as lines; it honours the authentication rule of
// the control's session.
class RecordingSession : public CallServiceClient {
  public:
    ~RecordingSession() { Shutdown(); }

    // Lines recorded so far, waiting up to seconds until there are at least count.
    std::vector<std::string> WaitFor(size_t count, int seconds = 5) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(seconds),
                          [&] { return lines_.size() >= count; });
        return lines_;
    }

    // Runs on the worker thread after each recorded line.
    std::function<void(const std::string&)> onLine;

    void OnAuthenticate(const std::string&, const std::string&) override { Add("auth"); }
    void OnAuthenticateResponse(bool success, const std::string&) override {
        ChangeState(kConnected, success ? kAuthenticated : kClosing);
    }
    void OnCallArrived(uint64_t id, const PartyAddress&, const PartyAddress&, uint64_t) override {
        Add("arrived " + std::to_string(id));
    }
    void OnCallStateChanged(uint64_t id, int32_t state) override {
        Add("state " + std::to_string(id) + " " + std::to_string(state));
    }
    void OnMessagePlayed(uint64_t id) override { Add("played " + std::to_string(id)); }
    void OnSubscriptionConfirmed(uint64_t id, bool confirmed, int32_t code) override {
        Add("confirmed " + std::to_string(id) + " " + (confirmed ? "1 " : "0 ") +
            std::to_string(code));
    }
    void OnRequestFailed(uint64_t id, int32_t code, const std::string& text) override {
        Add("failed " + std::to_string(id) + " " + std::to_string(code) + " " + text);
    }
    void NotifyDisconnected() override { Add("disconnected"); }

  private:
    void Add(const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        }
        changed_.notify_all();
        if (onLine) onLine(line);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

using Lines = std::vector<std::string>;

// Checks that every message the session took ends exactly once.
class Ledger : public SessionAccounting {
  public:
    void Accepted(const XmlRpcMethod& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_.insert(&message).second) ++errors;
        ++accepted;
    }
    void Ended(const XmlRpcMethod& message, Outcome outcome) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_.erase(&message) != 1) ++errors;
        ++outcomes[outcome];
    }
    size_t Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_.size();
    }
    int accepted = 0;
    int errors = 0;
    std::map<Outcome, int> outcomes;

  private:
    std::mutex mutex_;
    std::set<const XmlRpcMethod*> open_;
};

// A session connected and authenticated to a fake peer.
struct Connected {
    FakePeer peer;
    RecordingSession session;
    bool ok = false;

    explicit Connected(int timeout = 5) {
        std::thread service([&] { peer.Authenticate(true); });
        ok = session.Connect("127.0.0.1", peer.Port(), timeout, "user", "secret");
        service.join();
    }
};

}  // namespace voxtrel::testing
