// Process-wide state of the socket layer: the count of network users that starts and stops the
// platform's networking, and the one error reporter through which every failure goes.
#pragma once

#include <mutex>
#include <string>

namespace voxtrel {

// Counts one network user for its lifetime; the first user starts the platform's networking
// (Winsock 1.1 on Windows), the last one cleans it up.
class NetworkUser {
  public:
    NetworkUser();
    ~NetworkUser();
    NetworkUser(const NetworkUser&) = delete;
    NetworkUser& operator=(const NetworkUser&) = delete;
};

// Builds "<module> error" (with " #<code>" while the last error code is not 0), remembers it and
// shows it when it differs from the previous message and showing is on. With takePlatformError
// the calling thread's platform error becomes the last error code first.
void ReportSocketError(const char* module, bool takePlatformError);
// The same with code as the last error code; returns the text built.
std::string ReportSocketErrorCode(const char* module, int code);
// Shows a message on standard error (or, in a Windows process without console, a message box).
void ShowSocketError(const char* message);

// The show-errors flag: true at start, set by every socket construction.
bool ShowSocketErrors();
void SetShowSocketErrors(bool show);

// The last error code (0 at start) and the last message ("No errors." at start).
int LastSocketErrorCode();
void SetLastSocketErrorCode(int code);
std::string LastSocketErrorMessage();

// One socket's last error, kept beside the process-wide one so that the owner of a socket reads
// its own error and not one that another socket met meanwhile. Guarded: a session's wake-up
// socket is used by two threads.
class SocketError {
  public:
    int Code() const;
    // "No errors." until the socket reports one.
    std::string Message() const;
    // Sets the process-wide last code as well.
    void SetCode(int code);
    // Reports module through ReportSocketError with this socket's code, or with the calling
    // thread's platform error, which becomes this socket's code first.
    void Report(const char* module, bool takePlatformError);

  private:
    mutable std::mutex lock_;
    int code_ = 0;
    std::string message_ = "No errors.";
};

}  // namespace voxtrel
