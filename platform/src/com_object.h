// Internal: the reference counting and QueryInterface that the layer's
// COM-style objects share. UI thread only, like the objects themselves.
#pragma once

#include "webview2.h"

// An object offering IUnknown and Interface. It starts with one reference,
// its maker's; the Release that drops the last one deletes it.
template <class Interface>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != Interface::kIid) return E_NOINTERFACE;
        *object = static_cast<Interface*>(this);  // single inheritance: one address for both
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

private:
    ULONG refs_ = 1;
};
