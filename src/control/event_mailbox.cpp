// Synchronous hand-over of notifications from the worker to the host's thread.
#include "control/event_mailbox.h"

#include <chrono>

namespace voxtrel {

namespace {

// How long each side of a hand-over stays awake for the other before it sleeps. The events of a
// burst follow one another within it, and a thread that finds the other awake spares the
// wake-up of a sleeping thread, tens of microseconds when it sleeps on another processor; a
// side that waits longer pays at most this much processor time per message.
constexpr std::chrono::microseconds kHandOverSpin{50};

// Checks done without sleeping until kHandOverSpin has passed, giving way between checks to any
// other thread of this processor (it may be the very thread being waited for).
template <typename Done>
void SpinUntil(Done done) {
    auto until = std::chrono::steady_clock::now() + kHandOverSpin;
    while (!done() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

}  // namespace

EventMailbox::EventMailbox(Handler handler) : handler_(std::move(handler)) {}

EventMailbox::~EventMailbox() {
    Close();
}

bool EventMailbox::Open() {
    std::unique_ptr<HostDoorbell> doorbell;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (doorbell_) return false;
    }
    // Made outside the lock: on Windows the doorbell's window may see messages while it is made.
    doorbell = HostDoorbell::Create([this] { HandleWaiting(); });
    if (!doorbell) return false;
    std::lock_guard<std::mutex> guard(lock_);
    doorbell_ = std::move(doorbell);
    hostThread_ = std::this_thread::get_id();
    return true;
}

void EventMailbox::Close() {
    std::unique_ptr<HostDoorbell> doorbell;
    {
        std::lock_guard<std::mutex> guard(lock_);
        DropAllLocked();
        doorbell = std::move(doorbell_);
    }
    finished_.notify_all();
}

bool EventMailbox::IsOpen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return doorbell_ != nullptr;
}

bool EventMailbox::Deliver(ControlMessage message, const std::function<bool()>& wanted) {
    // On this thread's stack: the host's thread touches it only while this sender waits.
    Pending pending;
    pending.message = std::move(message);
    std::unique_lock<std::mutex> guard(lock_);
    if (!doorbell_ || refusing_ || !wanted()) return false;
    waiting_.push_back(&pending);
    arrivals_.fetch_add(1, std::memory_order_release);
    if (hostWaiting_) {
        // Woken outside the lock, so that the host's thread does not wake only to wait for it.
        // It handles every waiting message before it leaves Pump.
        guard.unlock();
        arrived_.notify_one();
    } else {
        // A host elsewhere may be watching the descriptor.
        doorbell_->Ring();
        guard.unlock();
    }
    SpinUntil([&] { return pending.finished.load(std::memory_order_acquire); });
    guard.lock();
    finished_.wait(guard, [&] { return pending.finished.load(); });
    return pending.handled;
}

void EventMailbox::SetRefusing(bool refusing) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        refusing_ = refusing;
        if (refusing) DropAllLocked();
    }
    finished_.notify_all();
}

void EventMailbox::ReleaseInHand() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!inHand_) return;
        inHand_->finished = true;
        inHand_->handled = true;
        inHand_ = nullptr;
    }
    finished_.notify_all();
}

bool EventMailbox::SenderWaiting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !waiting_.empty() || inHand_ != nullptr;
}

void EventMailbox::DropAllLocked() {
    for (Pending* pending : waiting_)
        pending->finished = true;
    waiting_.clear();
    // The one being handled runs to its end on the host's thread, on the host's copy of the
    // message; its sender need not wait for it.
    if (inHand_) inHand_->finished = true;
    inHand_ = nullptr;
}

int EventMailbox::Pump(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!doorbell_ || std::this_thread::get_id() != hostThread_) return 0;
    // The doorbell lives as long as the window, which only this thread closes.
    HostDoorbell* doorbell = doorbell_.get();
    if (!waiting_.empty()) timeoutMs = 0;
    if (doorbell->PumpsMessages()) {
        // Its wait runs the thread's messages, whose handlers take the lock themselves.
        guard.unlock();
        doorbell->Wait(timeoutMs);
        guard.lock();
    } else {
        if (timeoutMs != 0) {
            auto arrived = [this] { return !waiting_.empty(); };
            hostWaiting_ = true;
            uint64_t seen = arrivals_.load();
            guard.unlock();
            SpinUntil([&] { return arrivals_.load(std::memory_order_acquire) != seen; });
            guard.lock();
            if (timeoutMs < 0) {
                arrived_.wait(guard, arrived);
            } else {
                arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), arrived);
            }
            hostWaiting_ = false;
        }
        // Consumes a ring from before, so that the descriptor stops polling readable for the
        // messages handled here; unrung, it makes no call of the system.
        doorbell->Wait(0);
    }
    return HandleWaiting(std::move(guard));
}

int EventMailbox::HandleWaiting() {
    return HandleWaiting(std::unique_lock<std::mutex>(lock_));
}

int EventMailbox::HandleWaiting(std::unique_lock<std::mutex> guard) {
    int handled = 0;
    // A handler that pumps again handles the next messages itself; they stay in order.
    while (!waiting_.empty()) {
        Pending* pending = waiting_.front();
        waiting_.pop_front();
        Pending* outer = inHand_;
        inHand_ = pending;
        // The handler works on the host's own copy: a sender released or dropped meanwhile goes
        // on, and its entry with it.
        ControlMessage message = std::move(pending->message);
        guard.unlock();
        handler_(message);
        guard.lock();
        // Still in hand unless it was released or dropped meanwhile, which ended its sender's
        // wait and took it out of hand.
        if (inHand_ == pending) {
            pending->finished = true;
            pending->handled = true;
        }
        inHand_ = outer;
        ++handled;
        if (waiting_.empty()) {
            // The sender is woken outside the lock, so that it does not wake only to wait for
            // the lock.
            guard.unlock();
            finished_.notify_all();
            break;
        }
        finished_.notify_all();
    }
    return handled;
}

int EventMailbox::Descriptor() const {
    std::lock_guard<std::mutex> guard(lock_);
    return doorbell_ ? doorbell_->Descriptor() : -1;
}

}  // namespace voxtrel
