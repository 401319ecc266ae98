// Synchronous hand-over of notifications from the worker to the host's thread.
#include "control/event_mailbox.h"

namespace voxtrel {

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
    auto pending = std::make_shared<Pending>();
    pending->message = std::move(message);
    std::unique_lock<std::mutex> guard(lock_);
    if (!doorbell_ || refusing_ || !wanted()) return false;
    waiting_.push_back(pending);
    doorbell_->Ring();
    finished_.wait(guard, [&] { return pending->finished; });
    return pending->handled;
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
        if (!inHand_ || inHand_->finished) return;
        inHand_->finished = true;
        inHand_->handled = true;
    }
    finished_.notify_all();
}

bool EventMailbox::SenderWaiting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !waiting_.empty() || (inHand_ && !inHand_->finished);
}

void EventMailbox::DropAllLocked() {
    for (auto& pending : waiting_)
        pending->finished = true;
    waiting_.clear();
    // The one being handled runs to its end on the host's thread; its sender need not wait for
    // it, since the message owns everything it refers to.
    if (inHand_) inHand_->finished = true;
}

int EventMailbox::Pump(int timeoutMs) {
    HostDoorbell* doorbell;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!doorbell_ || std::this_thread::get_id() != hostThread_) return 0;
        doorbell = doorbell_.get();
        if (!waiting_.empty()) timeoutMs = 0;
    }
    // The doorbell lives as long as the window, which only this thread closes.
    doorbell->Wait(timeoutMs);
    return HandleWaiting();
}

int EventMailbox::HandleWaiting() {
    int handled = 0;
    std::unique_lock<std::mutex> guard(lock_);
    // A handler that pumps again handles the next messages itself; they stay in order.
    while (!waiting_.empty()) {
        std::shared_ptr<Pending> pending = waiting_.front();
        waiting_.pop_front();
        std::shared_ptr<Pending> outer = std::move(inHand_);
        inHand_ = pending;
        guard.unlock();
        handler_(pending->message);
        guard.lock();
        inHand_ = std::move(outer);
        if (!pending->finished) {
            pending->finished = true;
            pending->handled = true;
        }
        ++handled;
        finished_.notify_all();
    }
    return handled;
}

int EventMailbox::Descriptor() const {
    std::lock_guard<std::mutex> guard(lock_);
    return doorbell_ ? doorbell_->Descriptor() : -1;
}

}  // namespace voxtrel
