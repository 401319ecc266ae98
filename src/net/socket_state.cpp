// The socket layer's process-wide state. Sockets of several threads share it, so each part is
// guarded; a message is shown outside the lock because a message box blocks until closed.
#include "net/socket_state.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "net/net_platform.h"

namespace voxtrel {

namespace {

struct NetworkUsers {
    std::mutex lock;
    unsigned count = 0;
    bool started = false;
};

struct ErrorState {
    std::atomic<bool> show{true};
    std::atomic<int> code{0};
    std::mutex lock;
    std::string message = "No errors.";
};

// Function-local so that static initialisers of other files can already use the layer.
NetworkUsers& Users() {
    static NetworkUsers users;
    return users;
}

ErrorState& Errors() {
    static ErrorState state;
    return state;
}

}  // namespace

NetworkUser::NetworkUser() {
    NetworkUsers& users = Users();
    std::lock_guard<std::mutex> hold(users.lock);
    if (users.count++ == 0) users.started = platform::StartNetworking();
}

NetworkUser::~NetworkUser() {
    NetworkUsers& users = Users();
    std::lock_guard<std::mutex> hold(users.lock);
    if (--users.count == 0 && users.started) {
        platform::StopNetworking();
        users.started = false;
    }
}

void ReportSocketError(const char* module, bool takePlatformError) {
    ErrorState& state = Errors();
    if (takePlatformError) state.code = platform::LastError();
    ReportSocketErrorCode(module, state.code.load());
}

std::string ReportSocketErrorCode(const char* module, int code) {
    ErrorState& state = Errors();
    state.code = code;
    std::string message = module;
    message += " error";
    if (code != 0) {
        message += " #";
        message += std::to_string(code);
    }
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (message == state.message) return message;
        state.message = message;
    }
    if (state.show) ShowSocketError(message.c_str());
    return message;
}

void ShowSocketError(const char* message) {
    if (platform::ShowInMessageBox(message)) return;
    std::fprintf(stderr, "\n%s\n", message);
    std::fflush(stderr);
}

bool ShowSocketErrors() {
    return Errors().show;
}

void SetShowSocketErrors(bool show) {
    Errors().show = show;
}

int LastSocketErrorCode() {
    return Errors().code;
}

void SetLastSocketErrorCode(int code) {
    Errors().code = code;
}

std::string LastSocketErrorMessage() {
    ErrorState& state = Errors();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.message;
}

int SocketError::Code() const {
    std::lock_guard<std::mutex> hold(lock_);
    return code_;
}

std::string SocketError::Message() const {
    std::lock_guard<std::mutex> hold(lock_);
    return message_;
}

void SocketError::SetCode(int code) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        code_ = code;
    }
    SetLastSocketErrorCode(code);
}

void SocketError::Report(const char* module, bool takePlatformError) {
    if (takePlatformError) SetCode(platform::LastError());
    int code = Code();
    // Outside the lock: showing the report may block in a message box.
    std::string message = ReportSocketErrorCode(module, code);
    std::lock_guard<std::mutex> hold(lock_);
    message_ = message;
}

}  // namespace voxtrel
