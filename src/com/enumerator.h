// A COM enumerator (IEnumConnections, IEnumConnectionPoints, IEnumOLEVERB) over a snapshot of
// items taken when it is made; clones share the snapshot.
#pragma once

#include <windows.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "com/module.h"

namespace voxtrel::com {

// Traits says how an item is held and handed out:
//   static HRESULT CopyOut(Item& out, const Item& held);  // the caller's own copy
//   static void FreeOut(Item& out);                       // undoes CopyOut on a partial failure
//   static void Release(Item& held);                      // ends the snapshot's hold
template <class IEnum, class Item, class Traits>
class Enumerator final : public IEnum {
  public:
    // Takes over the items' holds (each already made by the caller).
    static HRESULT Create(std::vector<Item> items, IEnum** out) {
        std::shared_ptr<Store> store;
        try {
            store = std::make_shared<Store>();
        } catch (const std::bad_alloc&) {
            for (Item& item : items)
                Traits::Release(item);
            if (out) *out = nullptr;
            return E_OUTOFMEMORY;
        }
        store->items = std::move(items);
        if (!out) return E_POINTER;
        *out = new (std::nothrow) Enumerator(std::move(store), 0);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(IEnum)) {
            *out = static_cast<IEnum*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override {
        if (!items || (count > 1 && !fetched)) return E_POINTER;
        ULONG done = 0;
        while (done < count && pos_ < store_->items.size()) {
            HRESULT hr = Traits::CopyOut(items[done], store_->items[pos_]);
            if (FAILED(hr)) {
                while (done > 0)
                    Traits::FreeOut(items[--done]);
                if (fetched) *fetched = 0;
                return hr;
            }
            ++done;
            ++pos_;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = store_->items.size() - pos_;
        if (count > left) {
            pos_ = store_->items.size();
            return S_FALSE;
        }
        pos_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnum** out) override {
        if (!out) return E_POINTER;
        auto* e = new (std::nothrow) Enumerator(store_, pos_);
        *out = e;
        return e ? S_OK : E_OUTOFMEMORY;
    }

  private:
    struct Store {
        std::vector<Item> items;
        ~Store() {
            for (Item& item : items)
                Traits::Release(item);
        }
    };

    Enumerator(std::shared_ptr<const Store> store, size_t pos)
        : store_(std::move(store)), pos_(pos) {
        LockModule();
    }
    ~Enumerator() { UnlockModule(); }

    std::shared_ptr<const Store> store_;
    size_t pos_;
    LONG refs_ = 1;
};

// Items that are interface pointers: the snapshot holds a reference, each copy adds one.
template <class I>
struct InterfaceItemTraits {
    static HRESULT CopyOut(I*& out, I* const& held) {
        out = held;
        out->AddRef();
        return S_OK;
    }
    static void FreeOut(I*& out) { out->Release(); }
    static void Release(I*& held) { held->Release(); }
};

}  // namespace voxtrel::com
