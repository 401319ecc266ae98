// Work left to the host thread's own message loop, for what cannot run under the frames that ask
// for it. One implementation per platform.
#pragma once

#include <functional>

namespace voxtrel {

// Runs task on the calling thread when its message loop next dispatches, after the current
// message has been handled. False, with task dropped unrun, where the platform has no such loop
// (POSIX: events run only inside PumpEvents) or the task cannot be queued.
bool DeferToMessageLoop(std::function<void()> task);

}  // namespace voxtrel
