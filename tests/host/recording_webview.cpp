// The recording web view doubles.
#include "recording_webview.h"

#include <cstring>

namespace {

std::u16string OnOff(const char16_t* name, BOOL on) { return std::u16string(name) + (on ? u"=on" : u"=off"); }

}  // namespace

LPWSTR CoTaskCopy(const std::u16string& text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return copy;
}

std::vector<std::u16string> RecordingWebView::Posts() const {
    std::vector<std::u16string> posts;
    for (const auto& entry : log)
        if (entry.rfind(u"post:", 0) == 0) posts.push_back(entry.substr(5));
    return posts;
}

HRESULT RecordingWebView::Settings::put_AreDefaultContextMenusEnabled(BOOL on) {
    owner->log.push_back(OnOff(u"context-menus", on));
    return S_OK;
}
HRESULT RecordingWebView::Settings::put_AreDevToolsEnabled(BOOL on) {
    owner->log.push_back(OnOff(u"dev-tools", on));
    return S_OK;
}
HRESULT RecordingWebView::Settings::put_IsStatusBarEnabled(BOOL on) {
    owner->log.push_back(OnOff(u"status-bar", on));
    return S_OK;
}

HRESULT RecordingWebView::QueryInterface(REFIID riid, void** object) {
    bool known = riid == IID_IUnknown || riid == IID_ICoreWebView2 ||
                 (riid == IID_ICoreWebView2_3 && offers_folder_mapping);
    *object = known ? this : nullptr;
    return known ? S_OK : E_NOINTERFACE;
}

HRESULT RecordingWebView::get_Settings(ICoreWebView2Settings** out) {
    *out = &settings;
    return S_OK;
}

HRESULT RecordingWebView::add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                                 EventRegistrationToken*) {
    message_handler = handler;
    log.push_back(u"add-message-handler");
    return S_OK;
}

HRESULT RecordingWebView::add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                                                 EventRegistrationToken*) {
    navigation_handler = handler;
    log.push_back(u"add-navigation-handler");
    return S_OK;
}

HRESULT RecordingWebView::NavigateToString(LPCWSTR html) {
    log.push_back(std::u16string(html).find(u"<html") != std::u16string::npos ? u"navigate" : u"navigate:not-html");
    return S_OK;
}

HRESULT RecordingWebView::PostWebMessageAsJson(LPCWSTR json) {
    log.push_back(u"post:" + std::u16string(json));
    return S_OK;
}

HRESULT RecordingWebView::SetVirtualHostNameToFolderMapping(LPCWSTR host, LPCWSTR folder,
                                                            COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND kind) {
    log.push_back(u"map:" + std::u16string(host) + u"|" + folder +
                  (kind == COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW ? u"|allow" : u"|other"));
    return S_OK;
}

HRESULT NavigationArgs::get_Uri(LPWSTR* out) {
    *out = CoTaskCopy(uri);
    return S_OK;
}

HRESULT WebMessageArgs::get_WebMessageAsJson(LPWSTR* out) {
    *out = json ? CoTaskCopy(json) : nullptr;
    return json ? S_OK : E_FAIL;
}
