// Test doubles of the web view: a view, controller and settings that record
// every call in one ordered log, and navigation-starting arguments with a
// given address. Live on the test's stack; reference counts are not honoured.
#pragma once

#include <string>
#include <vector>

#include "webview2.h"

struct RecordingWebView final : ICoreWebView2_3 {
    std::vector<std::u16string> log;  // "navigate", "post:<json>", "map:<host>|<folder>", ...
    bool offers_folder_mapping = true;

    std::vector<std::u16string> Posts() const;  // the posted JSON texts, in order

    struct Settings final : ICoreWebView2Settings {
        RecordingWebView* owner = nullptr;
        HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG AddRef() override { return 1; }
        ULONG Release() override { return 1; }
        HRESULT put_AreDefaultContextMenusEnabled(BOOL on) override;
        HRESULT put_AreDevToolsEnabled(BOOL on) override;
        HRESULT put_IsStatusBarEnabled(BOOL on) override;
    } settings;

    RecordingWebView() { settings.owner = this; }
    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT get_Settings(ICoreWebView2Settings** out) override;
    HRESULT add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                   EventRegistrationToken*) override;
    HRESULT add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                                   EventRegistrationToken*) override;
    HRESULT NavigateToString(LPCWSTR html) override;
    HRESULT PostWebMessageAsJson(LPCWSTR json) override;
    HRESULT SetVirtualHostNameToFolderMapping(LPCWSTR host, LPCWSTR folder,
                                              COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND kind) override;

    // The handlers the host registered, kept so a test can invoke them.
    ComPtr<ICoreWebView2WebMessageReceivedEventHandler> message_handler;
    ComPtr<ICoreWebView2NavigationStartingEventHandler> navigation_handler;
};

struct RecordingController final : ICoreWebView2Controller {
    RecordingWebView* view = nullptr;
    std::vector<RECT> bounds;
    bool visible = false;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT get_CoreWebView2(ICoreWebView2** out) override {
        *out = view;
        return view ? S_OK : E_FAIL;
    }
    HRESULT put_Bounds(RECT rect) override {
        bounds.push_back(rect);
        return S_OK;
    }
    HRESULT put_IsVisible(BOOL on) override {
        visible = on;
        return S_OK;
    }
};

// Arguments of one navigation, answering get_Uri with a CoTaskMemAlloc'd copy.
struct NavigationArgs final : ICoreWebView2NavigationStartingEventArgs {
    std::u16string uri;
    bool cancelled = false;
    explicit NavigationArgs(std::u16string address) : uri(std::move(address)) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT get_Uri(LPWSTR* out) override;
    HRESULT put_Cancel(BOOL cancel) override {
        cancelled = cancel;
        return S_OK;
    }
};

// Arguments of one page message; a null text stands for a message without JSON.
struct WebMessageArgs final : ICoreWebView2WebMessageReceivedEventArgs {
    const char16_t* json;
    explicit WebMessageArgs(const char16_t* text) : json(text) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT get_WebMessageAsJson(LPWSTR* out) override;
};

// A CoTaskMemAlloc'd copy of text, as the runtime hands strings out.
LPWSTR CoTaskCopy(const std::u16string& text);
