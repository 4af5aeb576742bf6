// Internal: the layer's web view objects on WebKitGTK (environment,
// controller, view, settings, event arguments) and what the scheme handler,
// the test hook and the tests share about them. UI thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "com_object.h"
#include "web_data_folder.h"
#include "webview2.h"

// The web view: ICoreWebView2 and ICoreWebView2_3 on one WebKitWebView.
class CoreWebView final : public ComObject<ICoreWebView2_3> {
public:
    explicit CoreWebView(WebKitWebView* view);
    ~CoreWebView() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override;
    HRESULT STDMETHODCALLTYPE add_WebMessageReceived(
        ICoreWebView2WebMessageReceivedEventHandler* handler, EventRegistrationToken* token) override;
    HRESULT STDMETHODCALLTYPE add_NavigationStarting(
        ICoreWebView2NavigationStartingEventHandler* handler, EventRegistrationToken* token) override;
    HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR htmlContent) override;
    HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR webMessageAsJson) override;
    HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(
        LPCWSTR hostName, LPCWSTR folderPath,
        COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND accessKind) override;

    WebKitWebView* view = nullptr;  // a reference of our own
    std::string bridge_token;       // proves a message came from the bridge script
    std::vector<ComPtr<ICoreWebView2WebMessageReceivedEventHandler>> message_handlers;
    std::vector<ComPtr<ICoreWebView2NavigationStartingEventHandler>> navigation_handlers;
    int64_t next_token = 1;
    std::map<std::string, std::string> folder_mappings;  // host name -> real folder path
    std::string page_html;            // what NavigateToString gave, served at the page address
    std::string approved_navigation;  // already reported and allowed: don't ask again
    bool page_listening = false;      // the current document has a message listener
    std::deque<std::string> waiting_messages;  // JSON texts (UTF-8) for the page
    bool context_menus_enabled = true;
};

// The page's fixed address and origin under the layer's scheme.
std::string PageAddress();  // "<scheme>://<virtual host>/"
std::string PageOrigin();   // "<scheme>://<virtual host>"

// The one web context of the process (persistent data folder, the layer's
// scheme registered as secure). Null when it cannot be made.
WebKitWebContext* SharedWebContext();
// Where the web context keeps local storage: the test override if set, else
// $XDG_DATA_HOME/velkin/webdata (~/.local/share/velkin/webdata).
std::string WebDataFolder();

// The layer's view behind a WebKitWebView, or null.
CoreWebView* FindCoreWebView(WebKitWebView* view);
// The web view shown in a top-level window, or null.
WebKitWebView* FindWebViewIn(HWND window);

// Escapes UTF-16 text as a double-quoted JavaScript string literal that is
// pure ASCII and safe inside any script or HTML context.
std::string JsStringLiteral(const std::u16string& text);

// Runs body as an async function in the page's main world and hands
// JSON.stringify of its result (or the error text) to done, from the loop.
void EvaluateFunctionBody(WebKitWebView* view, const std::string& body,
                          std::function<void(bool ok, const std::string& text)> done);
