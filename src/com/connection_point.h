// The control's one connection point: the event sinks that hosts connect for _DVoxtrelEvents, and
// the firing of an event to each of them through IDispatch::Invoke.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <vector>

#include "com/com_ptr.h"

namespace voxtrel::com {

// Lives inside its container and shares its reference count, so it never outlives it.
class EventConnectionPoint final : public IConnectionPoint {
  public:
    EventConnectionPoint(IConnectionPointContainer& container, REFIID eventIid);
    ~EventConnectionPoint();
    EventConnectionPoint(const EventConnectionPoint&) = delete;
    EventConnectionPoint& operator=(const EventConnectionPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    // Calls every sink connected when the event starts, in the order of connection. A sink that
    // disconnects (or connects another) from inside its handler changes later events only.
    void Fire(DISPID id, DISPPARAMS& params);
    // Drops every sink; for the control's destruction.
    void DisconnectAll();
    size_t ConnectionCount() const { return connections_.size(); }

  private:
    struct Connection {
        DWORD cookie;
        IDispatch* sink;  // one reference held
    };

    IConnectionPointContainer& container_;
    IID iid_;
    std::vector<Connection> connections_;
    DWORD nextCookie_ = 1;
};

}  // namespace voxtrel::com
