// The web view in the main window: environment, controller, settings, folder
// mapping, the page, and the navigation rule. UI thread only.
#include "webview_host.h"

#include "chat_page.h"
#include "executable_folder.h"
#include "navigation_policy.h"
#include "text_conversion.h"
#include "velkin_names.h"
#include "webview_handlers.h"

namespace {

// The page as UTF-16, converted on first use and kept for the whole run.
const std::u16string& PageHtml() {
    static const std::u16string page_html = Utf8ToWide(kChatPageUtf8);
    return page_html;
}

}  // namespace

void StartWebView(AppState& state, HWND window) {
    auto* handler = NewEnvironmentCompletedHandler(&state, window);
    HRESULT result = CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, handler);
    if (handler != nullptr) handler->Release();
    if (FAILED(result)) {
        MessageBoxW(state.hwnd,
                    u"WebView2 Runtime not found.\n"
                    u"\n"
                    u"Please install the Microsoft Edge WebView2 Runtime from:\n"
                    u"https://developer.microsoft.com/microsoft-edge/webview2/",
                    u"Velkin \u2014 Missing Component", MB_ICONERROR);
    }
}

HRESULT OnEnvironmentCreated(AppState& state, HWND window, HRESULT error_code,
                             ICoreWebView2Environment* environment) {
    if (FAILED(error_code) || environment == nullptr) return error_code;
    auto* handler = NewControllerCompletedHandler(&state);
    environment->CreateCoreWebView2Controller(window, handler);
    if (handler != nullptr) handler->Release();
    return S_OK;
}

HRESULT OnControllerCreated(AppState& state, HRESULT error_code, ICoreWebView2Controller* controller) {
    if (FAILED(error_code) || controller == nullptr) return error_code;
    state.controller = controller;
    state.controller->get_CoreWebView2(state.webview.ReleaseAndGetAddressOf());
    if (!state.webview) return S_OK;

    // Settings: no context menu, no developer tools, no status bar.
    ComPtr<ICoreWebView2Settings> settings;
    if (SUCCEEDED(state.webview->get_Settings(settings.GetAddressOf())) && settings) {
        settings->put_AreDefaultContextMenusEnabled(FALSE);
        settings->put_AreDevToolsEnabled(FALSE);
        settings->put_IsStatusBarEnabled(FALSE);
    }

    // Event handlers, registered for the life of the view.
    auto* message_handler = NewWebMessageReceivedHandler(&state);
    state.webview->add_WebMessageReceived(message_handler, nullptr);
    if (message_handler != nullptr) message_handler->Release();
    auto* navigation_handler = NewNavigationStartingHandler();
    state.webview->add_NavigationStarting(navigation_handler, nullptr);
    if (navigation_handler != nullptr) navigation_handler->Release();

    // The executable's folder under the virtual host, for the page's assets.
    ComPtr<ICoreWebView2_3> webview_3;
    if (SUCCEEDED(state.webview.As(&webview_3)) && webview_3) {
        webview_3->SetVirtualHostNameToFolderMapping(VELKIN_VIRTUAL_HOST, ExecutableFolder().c_str(),
                                                     COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW);
    }

    // Bounds, the page, then the messages that waited for it.
    RECT bounds;
    if (!GetClientRect(state.hwnd, &bounds)) bounds = RECT{};
    state.controller->put_Bounds(bounds);
    state.controller->put_IsVisible(TRUE);
    state.webview->NavigateToString(PageHtml().c_str());
    state.web_ready = true;
    while (!state.pending_messages.empty()) {
        state.webview->PostWebMessageAsJson(state.pending_messages.front().c_str());
        state.pending_messages.pop_front();
    }
    return S_OK;
}

HRESULT OnNavigationStarting(ICoreWebView2NavigationStartingEventArgs* args) {
    LPWSTR uri = nullptr;
    if (FAILED(args->get_Uri(&uri)) || uri == nullptr) return S_OK;
    std::u16string address = uri;
    CoTaskMemFree(uri);
    const NavigationChoice choice = ChooseNavigation(address, VELKIN_VIRTUAL_HOST);
    if (choice == NavigationChoice::kStayInView) return S_OK;
    args->put_Cancel(TRUE);
    if (choice == NavigationChoice::kOpenInBrowser) {
        ShellExecuteW(nullptr, u"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
    return S_OK;
}
