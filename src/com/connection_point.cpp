// Connecting, disconnecting and enumerating event sinks, and firing events to them.
#include "com/connection_point.h"

#include <olectl.h>

#include <new>

#include "com/enumerator.h"

namespace voxtrel::com {

namespace {

struct ConnectDataTraits {
    static HRESULT CopyOut(CONNECTDATA& out, const CONNECTDATA& held) {
        out = held;
        out.pUnk->AddRef();
        return S_OK;
    }
    static void FreeOut(CONNECTDATA& out) { out.pUnk->Release(); }
    static void Release(CONNECTDATA& held) { held.pUnk->Release(); }
};

using ConnectionEnumerator = Enumerator<IEnumConnections, CONNECTDATA, ConnectDataTraits>;

}  // namespace

EventConnectionPoint::EventConnectionPoint(IConnectionPointContainer& container, REFIID eventIid)
    : container_(container), iid_(eventIid) {}

EventConnectionPoint::~EventConnectionPoint() {
    DisconnectAll();
}

STDMETHODIMP EventConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) EventConnectionPoint::AddRef() {
    return container_.AddRef();
}
STDMETHODIMP_(ULONG) EventConnectionPoint::Release() {
    return container_.Release();
}

STDMETHODIMP EventConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP EventConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    *container = &container_;
    container_.AddRef();
    return S_OK;
}

STDMETHODIMP EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    // A sink that only knows IDispatch still receives the events by their dispatch ids, as
    // script engines' generic sinks expect.
    IDispatch* dispatch = nullptr;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    try {
        connections_.push_back({nextCookie_, dispatch});
    } catch (const std::bad_alloc&) {
        dispatch->Release();
        return E_OUTOFMEMORY;
    }
    *cookie = nextCookie_++;
    return S_OK;
}

STDMETHODIMP EventConnectionPoint::Unadvise(DWORD cookie) {
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (it->cookie == cookie) {
            IDispatch* sink = it->sink;
            connections_.erase(it);
            sink->Release();  // last: the release may run the sink's code
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP EventConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (!connections) return E_POINTER;
    *connections = nullptr;
    std::vector<CONNECTDATA> items;
    try {
        items.reserve(connections_.size());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (const Connection& c : connections_) {
        c.sink->AddRef();
        items.push_back({c.sink, c.cookie});
    }
    return ConnectionEnumerator::Create(std::move(items), connections);
}

void EventConnectionPoint::Fire(DISPID id, DISPPARAMS& params) {
    std::vector<ComPtr<IDispatch>> sinks;
    try {
        sinks.reserve(connections_.size());
    } catch (const std::bad_alloc&) {
        return;  // dropped, as an event that could not be delivered
    }
    for (const Connection& c : connections_)
        sinks.push_back(ComPtr<IDispatch>::Share(c.sink));
    for (const ComPtr<IDispatch>& sink : sinks) {
        // Events return nothing and a sink's failure concerns that sink alone.
        sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                     nullptr);
    }
}

void EventConnectionPoint::DisconnectAll() {
    std::vector<Connection> dropped;
    dropped.swap(connections_);
    for (const Connection& c : dropped)
        c.sink->Release();
}

}  // namespace voxtrel::com
