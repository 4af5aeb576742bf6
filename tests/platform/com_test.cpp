// COM-style basics: ComPtr's reference counting and QueryInterface, COM
// apartments and task memory, and the absence of Windows DLLs.
#include <gtest/gtest.h>

#include "webview2.h"
#include "windows.h"

namespace {

// A settings object that counts its references and answers one interface.
class CountedSettings final : public ICoreWebView2Settings {
public:
    explicit CountedSettings(int* alive) : alive_(alive) { ++*alive_; }
    ~CountedSettings() override { --*alive_; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_ICoreWebView2Settings) return E_NOINTERFACE;
        *object = static_cast<ICoreWebView2Settings*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL) override { return S_OK; }
    ULONG refs = 1;

private:
    int* alive_;
};

TEST(ComPtr, CountsReferencesThroughCopiesMovesAndResets) {
    int alive = 0;
    {
        ComPtr<CountedSettings> first;
        first.Attach(new CountedSettings(&alive));  // takes the creation reference
        EXPECT_EQ(first->refs, 1u);
        ComPtr<CountedSettings> copy = first;
        EXPECT_EQ(first->refs, 2u);
        copy = copy;  // self-assignment keeps the count
        EXPECT_EQ(first->refs, 2u);
        ComPtr<CountedSettings> moved = std::move(copy);
        EXPECT_EQ(first->refs, 2u);
        EXPECT_FALSE(copy);
        moved.Reset();
        EXPECT_EQ(first->refs, 1u);
        CountedSettings* raw = first.Detach();
        EXPECT_FALSE(first);
        EXPECT_EQ(raw->refs, 1u) << "Detach hands the reference over";
        ComPtr<CountedSettings> again;
        again.Attach(raw);
        *again.ReleaseAndGetAddressOf() = nullptr;  // releases the held object
        EXPECT_EQ(alive, 0);
    }
    EXPECT_EQ(alive, 0);
}

TEST(ComPtr, AsAsksQueryInterfaceAndLeavesNullOnRefusal) {
    int alive = 0;
    ComPtr<ICoreWebView2Settings> settings;
    settings.Attach(new CountedSettings(&alive));
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(settings.As(&unknown), S_OK);
    EXPECT_EQ((void*)unknown.Get(), (void*)settings.Get());
    ComPtr<ICoreWebView2> view;
    EXPECT_EQ(settings.As(&view), E_NOINTERFACE);
    EXPECT_FALSE(view);
    ComPtr<ICoreWebView2Settings> empty;
    EXPECT_EQ(empty.As(&unknown), E_POINTER);
    EXPECT_FALSE(unknown) << "the old value is released, not kept";
    settings.Reset();
    EXPECT_EQ(alive, 0);
}

TEST(Com, ApartmentsTaskMemoryAndModules) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE) << "already initialised";
    CoUninitialize();
    CoUninitialize();
    void* block = CoTaskMemAlloc(64);
    ASSERT_NE(block, nullptr);
    CoTaskMemFree(block);
    CoTaskMemFree(nullptr);
    EXPECT_EQ(LoadLibraryW(u"user32.dll"), nullptr);
    EXPECT_EQ(LoadLibraryW(u"dwmapi.dll"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "SetProcessDpiAwarenessContext"), nullptr);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
}

}  // namespace
