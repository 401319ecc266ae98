// Process-wide state of the socket layer: the count of network users that starts and stops the
// platform's networking, and the one error reporter through which every failure goes.
#pragma once

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
// Shows a message on standard error (or, in a Windows process without console, a message box).
void ShowSocketError(const char* message);

// The show-errors flag: true at start, set by every socket construction.
bool ShowSocketErrors();
void SetShowSocketErrors(bool show);

// The last error code (0 at start) and the last message ("No errors." at start).
int LastSocketErrorCode();
void SetLastSocketErrorCode(int code);
std::string LastSocketErrorMessage();

}  // namespace voxtrel
