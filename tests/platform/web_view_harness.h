// A window with the layer's web view, driven only through the program's own
// calls, for the web view tests. Needs a display. UI thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "test_limits.h"
#include "webview2.h"
#include "windows.h"

struct WebViewHarness {
    HWND window = nullptr;
    ComPtr<ICoreWebView2Controller> controller;
    ComPtr<ICoreWebView2> view;
    std::vector<std::string> received;     // JSON texts the page posted (UTF-8)
    std::vector<std::string> navigations;  // addresses NavigationStarting saw (UTF-8)
    // Decides each navigation; allowing everything by default.
    std::function<bool(const std::string& address)> allow = [](const std::string&) { return true; };
    // A completion handler ran inside the call that started it.
    bool completed_inside_call = false;
};

// Keeps the web data (local storage) in folder; otherwise each process gets
// a fresh temporary one. Call before OpenWebView.
void UseWebDataFolder(const std::string& folder);
// A hidden top-level test window, 640 x 480, titled "Velkin test"; procedure
// (one per process) replaces the default one, which ignores WM_CLOSE.
HWND OpenTestWindow(WNDPROC procedure = nullptr);
// Makes the window unless harness->window is set (and shows it), the environment and the controller,
// and registers the two event handlers. False when any step fails.
bool OpenWebView(WebViewHarness* harness);
// Releases the view and destroys the window.
void CloseWebView(WebViewHarness* harness);
// Runs the message loop until done() is true or timeout_ms pass.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = EventLimitMs());
// Runs the loop for ms milliseconds.
void PumpFor(int ms);
// Loads html and waits until the page has posted ready_message (a JSON text).
bool LoadPage(WebViewHarness* harness, const std::string& html, const std::string& ready_message);
// UTF-8 <-> UTF-16 through the layer's conversion calls.
std::u16string Wide(const std::string& text);
std::string Narrow(const std::u16string& text);
// A fresh temporary folder (removed by the caller with RemoveFolder).
std::string MakeTempFolder();
void RemoveFolder(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
