// The web view environment loader.
#include "webview2.h"

HRESULT CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR, PCWSTR, ICoreWebView2EnvironmentOptions*,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*) {
    return E_NOTIMPL;
}
