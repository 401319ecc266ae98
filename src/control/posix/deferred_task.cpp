// POSIX hosts run no message loop of the platform that the library could leave work to: every
// event runs inside PumpEvents, whose caller knows when its frames have unwound.
#include "control/deferred_task.h"

namespace voxtrel {

bool DeferToMessageLoop(std::function<void()>) {
    return false;
}

}  // namespace voxtrel
