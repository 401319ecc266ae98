// Deferred destruction of cores, one thread timer per core: the timer message is dispatched by
// whatever loop the host runs, once the delivery that released the control has unwound.
#include "com/deferred_destruction.h"

#include <windows.h>

#include <vector>

#include "com/module.h"

namespace voxtrel::com {

namespace {

struct Pending {
    DWORD thread;
    UINT_PTR timer;
    std::unique_ptr<CVoxtrelCtrl> core;
};

// Cores still waiting when the process ends are abandoned to it: destroying them from the module's
// unloading would wait for worker threads inside the loader.
struct PendingList {
    std::vector<Pending> items;
    ~PendingList() {
        for (Pending& p : items)
            static_cast<void>(p.core.release());
    }
};

SRWLOCK lock = SRWLOCK_INIT;
PendingList pending;

void CALLBACK OnTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    const DWORD thread = GetCurrentThreadId();
    std::unique_ptr<CVoxtrelCtrl> core;
    AcquireSRWLockExclusive(&lock);
    for (auto it = pending.items.begin(); it != pending.items.end(); ++it) {
        if (it->timer == timer && it->thread == thread) {
            core = std::move(it->core);
            pending.items.erase(it);
            break;
        }
    }
    ReleaseSRWLockExclusive(&lock);
    if (!core) return;
    core.reset();  // outside the lock: it stops the core's worker
    UnlockModule();
}

}  // namespace

void DestroyLater(std::unique_ptr<CVoxtrelCtrl> core) {
    if (!core) return;
    core->SetEventSink(nullptr);
    UINT_PTR timer = SetTimer(nullptr, 0, 0, OnTimer);
    if (timer == 0) {
        // Without a timer there is no later: abandon the core rather than destroy it under its own
        // delivery.
        static_cast<void>(core.release());
        return;
    }
    AcquireSRWLockExclusive(&lock);
    bool room = true;
    try {
        pending.items.reserve(pending.items.size() + 1);
    } catch (...) {
        room = false;
    }
    if (room) pending.items.push_back({GetCurrentThreadId(), timer, std::move(core)});
    ReleaseSRWLockExclusive(&lock);
    if (room) {
        LockModule();
    } else {
        KillTimer(nullptr, timer);
        static_cast<void>(core.release());
    }
}

}  // namespace voxtrel::com
