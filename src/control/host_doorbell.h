// Wakes the host's thread when an event waits for it. One implementation per platform: on POSIX
// a descriptor that polls readable, on Windows a message-only window on the host's thread whose
// window procedure handles the waiting events.
#pragma once

#include <functional>
#include <memory>

namespace voxtrel {

class HostDoorbell {
  public:
    // Made on the host's thread. onRing is called on that thread when the platform's message
    // loop sees the ring (Windows); on POSIX the host calls Wait and then handles the events.
    static std::unique_ptr<HostDoorbell> Create(std::function<void()> onRing);
    virtual ~HostDoorbell() = default;

    // Any thread: the host's thread has events to handle. Rings before the ring is consumed add
    // nothing; the host's thread handles every waiting event after consuming it.
    virtual void Ring() = 0;
    // Host's thread: waits up to timeoutMs for a ring (0: looks only) and consumes it; true when
    // rung. On Windows it pumps the thread's messages meanwhile.
    virtual bool Wait(int timeoutMs) = 0;
    // The descriptor that polls readable while rung, or -1.
    virtual int Descriptor() const = 0;
    // True when the host's thread must wait through Wait, which runs the thread's messages
    // (Windows); otherwise a host that waits inside the mailbox may wait on the mailbox itself,
    // and the ring is left to hosts that watch the descriptor.
    virtual bool PumpsMessages() const = 0;
};

}  // namespace voxtrel
