// The COM handler objects around the host's web view callbacks. One record
// serves all four handler interfaces; each object is made for one of them and
// answers QueryInterface for that one only. UI thread only, so the reference
// count is a plain integer.
#include "webview_handlers.h"

#include <new>

#include "message_bridge.h"
#include "webview_host.h"

namespace {

typedef ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler EnvironmentCompleted;
typedef ICoreWebView2CreateCoreWebView2ControllerCompletedHandler ControllerCompleted;
typedef ICoreWebView2WebMessageReceivedEventHandler WebMessageReceived;
typedef ICoreWebView2NavigationStartingEventHandler NavigationStarting;

struct WebViewHandler final : EnvironmentCompleted, ControllerCompleted, WebMessageReceived, NavigationStarting {
    IID own_iid;  // the one handler interface this object was made for
    AppState* state = nullptr;
    HWND window = nullptr;
    ULONG n_references = 1;

    WebViewHandler(const IID& iid, AppState* captured_state, HWND captured_window)
        : own_iid(iid), state(captured_state), window(captured_window) {}

    IUnknown* OwnInterface() {
        if (own_iid == EnvironmentCompleted::kIid) return static_cast<EnvironmentCompleted*>(this);
        if (own_iid == ControllerCompleted::kIid) return static_cast<ControllerCompleted*>(this);
        if (own_iid == WebMessageReceived::kIid) return static_cast<WebMessageReceived*>(this);
        return static_cast<NavigationStarting*>(this);
    }

    HRESULT QueryInterface(REFIID requested, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (requested != IID_IUnknown && requested != own_iid) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = OwnInterface();
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++n_references; }
    ULONG Release() override {
        ULONG left = --n_references;
        if (left == 0) delete this;
        return left;
    }

    HRESULT Invoke(HRESULT error_code, ICoreWebView2Environment* environment) override {
        return OnEnvironmentCreated(*state, window, error_code, environment);
    }
    HRESULT Invoke(HRESULT error_code, ICoreWebView2Controller* controller) override {
        return OnControllerCreated(*state, error_code, controller);
    }
    HRESULT Invoke(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) override {
        return OnWebMessageReceived(*state, args);
    }
    HRESULT Invoke(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) override {
        return OnNavigationStarting(args);
    }
};

}  // namespace

EnvironmentCompleted* NewEnvironmentCompletedHandler(AppState* state, HWND window) {
    return new (std::nothrow) WebViewHandler(EnvironmentCompleted::kIid, state, window);
}

ControllerCompleted* NewControllerCompletedHandler(AppState* state) {
    return new (std::nothrow) WebViewHandler(ControllerCompleted::kIid, state, nullptr);
}

WebMessageReceived* NewWebMessageReceivedHandler(AppState* state) {
    return new (std::nothrow) WebViewHandler(WebMessageReceived::kIid, state, nullptr);
}

NavigationStarting* NewNavigationStartingHandler() {
    return new (std::nothrow) WebViewHandler(NavigationStarting::kIid, nullptr, nullptr);
}
