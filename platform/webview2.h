// The WebView2 subset Velkin calls, declared for Linux: a COM-style base,
// the layer's web view interfaces (implemented on WebKitGTK 4.1 by the
// layer), the handler interfaces the program implements, and the loader.
// Every call here is made on the UI thread; completions and events reach
// their handlers on the UI thread through the message loop, never inside
// the call that started them.
#pragma once

#include "com_ptr.h"
#include "windows.h"

// --- COM-style base ---
struct GUID {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};
typedef GUID IID;
typedef const IID& REFIID;

inline bool IsEqualIID(REFIID a, REFIID b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; i++) {
        if (a.data4[i] != b.data4[i]) return false;
    }
    return true;
}
inline bool operator==(REFIID a, REFIID b) { return IsEqualIID(a, b); }
inline bool operator!=(REFIID a, REFIID b) { return !IsEqualIID(a, b); }

// Interface ids are this layer's own values; each interface also carries its
// id as kIid so ComPtr::As can find it.
struct IUnknown {
    static constexpr IID kIid = {0x7e1c0000, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    virtual ~IUnknown() = default;
};

struct EventRegistrationToken {
    int64_t value = 0;
};

enum COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND {
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY = 0,
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW = 1,
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY_CORS = 2,
};

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2Settings;
struct ICoreWebView2NavigationStartingEventArgs;
struct ICoreWebView2WebMessageReceivedEventArgs;

// --- handlers: implemented by the program ---
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
    static constexpr IID kIid = {0x7e1c0001, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                             ICoreWebView2Environment* createdEnvironment) = 0;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
    static constexpr IID kIid = {0x7e1c0001, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x03}};
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                             ICoreWebView2Controller* createdController) = 0;
};

struct ICoreWebView2WebMessageReceivedEventHandler : IUnknown {
    static constexpr IID kIid = {0x7e1c0001, 0x0003, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x04}};
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2WebMessageReceivedEventArgs* args) = 0;
};

struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
    static constexpr IID kIid = {0x7e1c0001, 0x0004, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x05}};
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2NavigationStartingEventArgs* args) = 0;
};

// --- objects of the layer ---
// Options are never passed by Velkin; the type exists for the loader's signature.
struct ICoreWebView2EnvironmentOptions : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x06}};
};

struct ICoreWebView2Environment : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x07}};
    // Makes a web view filling parentWindow's client area (hidden until
    // put_IsVisible(TRUE)); handler->Invoke runs later from the loop.
    virtual HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parentWindow, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) = 0;
};

struct ICoreWebView2Controller : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x08}};
    // Gives a new reference to the view (the caller releases it).
    virtual HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** coreWebView2) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL isVisible) = 0;
};

struct ICoreWebView2Settings : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0003, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x09}};
    virtual HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL enabled) = 0;
    // There is no status bar on this platform: accepted and ignored.
    virtual HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL enabled) = 0;
};

struct ICoreWebView2 : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0004, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x0a}};
    virtual HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) = 0;
    // The view takes a reference to handler for its life; token may be null.
    virtual HRESULT STDMETHODCALLTYPE add_WebMessageReceived(
        ICoreWebView2WebMessageReceivedEventHandler* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_NavigationStarting(
        ICoreWebView2NavigationStartingEventHandler* handler, EventRegistrationToken* token) = 0;
    // Loads the page from memory under the layer's own fixed origin.
    virtual HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR htmlContent) = 0;
    // Delivers the JSON text to the page's message listeners as a parsed
    // object; kept and delivered in order if the page is not listening yet.
    // E_INVALIDARG when the text is not JSON.
    virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR webMessageAsJson) = 0;
};

struct ICoreWebView2_3 : ICoreWebView2 {
    static constexpr IID kIid = {0x7e1c0002, 0x0005, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x0b}};
    // Serves folderPath's files at <layer scheme>://hostName/<file>; never a
    // file outside the folder.
    virtual HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(
        LPCWSTR hostName, LPCWSTR folderPath, COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND accessKind) = 0;
};

struct ICoreWebView2NavigationStartingEventArgs : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0006, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x0c}};
    // *uri: a CoTaskMemAlloc'd copy the caller frees with CoTaskMemFree.
    virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;
};

struct ICoreWebView2WebMessageReceivedEventArgs : IUnknown {
    static constexpr IID kIid = {0x7e1c0002, 0x0007, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x0d}};
    // *json: a CoTaskMemAlloc'd copy the caller frees with CoTaskMemFree.
    virtual HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* webMessageAsJson) = 0;
};

// The same ids under their usual names, for QueryInterface calls.
constexpr IID IID_IUnknown = IUnknown::kIid;
constexpr IID IID_ICoreWebView2 = ICoreWebView2::kIid;
constexpr IID IID_ICoreWebView2_3 = ICoreWebView2_3::kIid;
constexpr IID IID_ICoreWebView2Controller = ICoreWebView2Controller::kIid;
constexpr IID IID_ICoreWebView2Environment = ICoreWebView2Environment::kIid;
constexpr IID IID_ICoreWebView2Settings = ICoreWebView2Settings::kIid;
constexpr IID IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler =
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler::kIid;
constexpr IID IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler =
    ICoreWebView2CreateCoreWebView2ControllerCompletedHandler::kIid;
constexpr IID IID_ICoreWebView2WebMessageReceivedEventHandler =
    ICoreWebView2WebMessageReceivedEventHandler::kIid;
constexpr IID IID_ICoreWebView2NavigationStartingEventHandler =
    ICoreWebView2NavigationStartingEventHandler::kIid;

// Starts making the environment (UI thread, after CoInitializeEx). Returns
// S_OK once the request is taken; handler->Invoke runs later from the message
// loop. Returns a failure at once (and never calls handler) when no web view
// can be made here (no display). The folders and options are ignored: the
// layer keeps its own per-user data folder.
HRESULT CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
    ICoreWebView2EnvironmentOptions* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* environmentCreatedHandler);
