// Deferred destruction of cores through the host thread's message loop: the core goes once the
// delivery that released the control has unwound.
#include "com/deferred_destruction.h"

#include "com/module.h"
#include "control/deferred_task.h"

namespace voxtrel::com {

void DestroyLater(std::unique_ptr<CVoxtrelCtrl> core) {
    if (!core) return;
    core->SetEventSink(nullptr);
    CVoxtrelCtrl* released = core.release();
    LockModule();
    // Without a later the core is abandoned: destroying it under its own delivery would be worse
    // than the leak. Cores still waiting when the module unloads are abandoned too, since
    // destroying them from the loader would wait for worker threads there.
    if (!DeferToMessageLoop([released] {
            delete released;  // stops the core's worker
            UnlockModule();
        })) {
        UnlockModule();
    }
}

}  // namespace voxtrel::com
