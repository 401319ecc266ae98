// The control's window as the session's worker sees it: a message handed to it waits until the
// host's thread has handled it, or until it is dropped because the host disconnected or
// destroyed the window or the control.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "control/control_messages.h"
#include "control/host_doorbell.h"

namespace voxtrel {

class EventMailbox {
  public:
    using Handler = std::function<void(const ControlMessage&)>;

    // handler runs on the host's thread for every message handled.
    explicit EventMailbox(Handler handler);
    ~EventMailbox();
    EventMailbox(const EventMailbox&) = delete;
    EventMailbox& operator=(const EventMailbox&) = delete;

    // The window: opened on, and bound to, the calling thread. Closing drops what waits.
    bool Open();
    void Close();
    bool IsOpen() const;

    // Worker side. Hands message to the host's thread and waits until it is handled (true) or
    // dropped (false). wanted is checked under the mailbox's lock just before the hand-over: a
    // message that is no longer wanted, or that finds no window, is dropped at once.
    bool Deliver(ControlMessage message, const std::function<bool()>& wanted);

    // Host side: drops what waits or is being handled and refuses new messages until
    // refusing is turned off again.
    void SetRefusing(bool refusing);
    // Host side, from inside a handler: its message counts as handled from now on, so that its
    // sender goes on while the handler still runs. Nothing is dropped.
    void ReleaseInHand();
    // True while a sender waits for the host's thread: a message waits or is being handled.
    bool SenderWaiting() const;
    // Handles the waiting messages, waiting up to timeoutMs for the first; the number handled.
    // Only the window's thread handles messages; elsewhere it returns 0.
    int Pump(int timeoutMs);
    int Descriptor() const;

  private:
    struct Pending {
        ControlMessage message;
        // Set under the lock; read without it only by the sender's spin, which takes the lock
        // before it looks at handled.
        std::atomic<bool> finished{false};
        bool handled = false;
    };

    // Marks every waiting message and the one in hand as dropped and wakes their senders.
    void DropAllLocked();
    int HandleWaiting();
    // The same with the lock taken; returns with it released.
    int HandleWaiting(std::unique_lock<std::mutex> guard);

    Handler handler_;
    mutable std::mutex lock_;
    std::condition_variable finished_;
    // Where the host's thread waits inside Pump when the doorbell does not need it to wait
    // there: a message then wakes it without a call of the system when it is not asleep.
    std::condition_variable arrived_;
    bool hostWaiting_ = false;
    // Messages handed over so far: the host's thread watches it while it spins in Pump.
    std::atomic<uint64_t> arrivals_{0};
    // Entries on their senders' stacks, each valid while its sender waits.
    std::deque<Pending*> waiting_;
    // The innermost message being handled while its sender waits; null once its sender goes on.
    Pending* inHand_ = nullptr;
    std::unique_ptr<HostDoorbell> doorbell_;
    std::thread::id hostThread_;
    bool refusing_ = false;
};

}  // namespace voxtrel
