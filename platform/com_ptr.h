// ComPtr<T>: a reference-counted pointer to a COM-style object (anything with
// AddRef, Release and QueryInterface). Not thread-safe; one owner per copy.
#pragma once

#include "windows.h"

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(decltype(nullptr)) {}
    // Takes a new reference to object (null allowed).
    ComPtr(T* object) : pointer_(object) { AddRefHeld(); }
    ComPtr(const ComPtr& other) : pointer_(other.pointer_) { AddRefHeld(); }
    ComPtr(ComPtr&& other) noexcept : pointer_(other.pointer_) { other.pointer_ = nullptr; }
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) {
        if (pointer_ != other.pointer_) ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            pointer_ = other.pointer_;
            other.pointer_ = nullptr;
        }
        return *this;
    }
    ComPtr& operator=(T* object) {
        if (pointer_ != object) ComPtr(object).Swap(*this);
        return *this;
    }
    ComPtr& operator=(decltype(nullptr)) {
        Reset();
        return *this;
    }

    T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    // The address of the held pointer, for an out-parameter; the caller
    // makes sure nothing is held (see ReleaseAndGetAddressOf).
    T** GetAddressOf() { return &pointer_; }
    T* const* GetAddressOf() const { return &pointer_; }
    // Releases what is held, then gives the address for an out-parameter.
    T** ReleaseAndGetAddressOf() {
        Reset();
        return &pointer_;
    }

    // Releases the held reference (if any); returns the count Release gave, or 0.
    ULONG Reset() {
        T* held = pointer_;
        if (held == nullptr) return 0;
        pointer_ = nullptr;
        return held->Release();
    }
    // Takes over a reference the caller already owns, releasing what was held.
    void Attach(T* object) {
        if (pointer_ != object) Reset();
        pointer_ = object;
    }
    // Hands the held reference to the caller, who must Release it.
    T* Detach() {
        T* held = pointer_;
        pointer_ = nullptr;
        return held;
    }
    void Swap(ComPtr& other) {
        T* held = pointer_;
        pointer_ = other.pointer_;
        other.pointer_ = held;
    }

    // QueryInterface for U (U::kIid); result replaces what *out held.
    template <class U>
    HRESULT As(ComPtr<U>* out) const {
        if (out == nullptr) return E_POINTER;
        if (pointer_ == nullptr) {
            out->Reset();
            return E_POINTER;
        }
        return pointer_->QueryInterface(U::kIid,
                                        reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
    }

private:
    void AddRefHeld() {
        if (pointer_ != nullptr) pointer_->AddRef();
    }

    T* pointer_ = nullptr;
};
