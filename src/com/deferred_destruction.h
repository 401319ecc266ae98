// Destroying a core later, from the host thread's message loop: for a control whose host let go of
// it inside an event handler, while the core was still in the middle of delivering.
#pragma once

#include <memory>

#include "control/voxtrel_ctrl.h"

namespace voxtrel::com {

// The core stops delivering to its sink now and is destroyed on this thread as soon as its message
// loop runs again. Keeps the module loaded until then.
void DestroyLater(std::unique_ptr<CVoxtrelCtrl> core);

}  // namespace voxtrel::com
