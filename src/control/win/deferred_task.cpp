// Deferred tasks on Windows, one thread timer each: WM_TIMER is dispatched by whatever loop the
// host's thread runs, so the task runs once the frames that deferred it have unwound.
#include "control/deferred_task.h"

#include <windows.h>

#include <utility>
#include <vector>

namespace voxtrel {

namespace {

struct Deferred {
    DWORD thread;
    UINT_PTR timer;
    std::function<void()> task;
};

// Tasks still queued when the module unloads are dropped unrun: running them from the loader
// could wait for worker threads there. Their timers are killed where this thread owns them, so
// that none calls into an unloaded image.
struct DeferredList {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<Deferred> items;
    ~DeferredList() {
        const DWORD thread = GetCurrentThreadId();
        for (const Deferred& item : items) {
            if (item.thread == thread) KillTimer(nullptr, item.timer);
        }
    }
};

DeferredList deferred;

void CALLBACK RunDeferred(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    const DWORD thread = GetCurrentThreadId();
    std::function<void()> task;
    AcquireSRWLockExclusive(&deferred.lock);
    for (auto it = deferred.items.begin(); it != deferred.items.end(); ++it) {
        if (it->timer == timer && it->thread == thread) {
            task = std::move(it->task);
            deferred.items.erase(it);
            break;
        }
    }
    ReleaseSRWLockExclusive(&deferred.lock);
    // Outside the lock: the task may defer another.
    if (task) task();
}

}  // namespace

bool DeferToMessageLoop(std::function<void()> task) {
    if (!task) return false;
    AcquireSRWLockExclusive(&deferred.lock);
    bool queued = false;
    try {
        // Room first: once the timer exists, nothing may fail.
        deferred.items.reserve(deferred.items.size() + 1);
        // The timer fires only through this thread's own dispatch, never before the entry exists.
        if (UINT_PTR timer = SetTimer(nullptr, 0, 0, RunDeferred)) {
            deferred.items.push_back({GetCurrentThreadId(), timer, std::move(task)});
            queued = true;
        }
    } catch (...) {
    }
    ReleaseSRWLockExclusive(&deferred.lock);
    return queued;
}

}  // namespace voxtrel
