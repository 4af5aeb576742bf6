// The host's state record: one per run, owned by WinMain's frame, reached by
// the window procedure through the window's user data and by the web view
// handlers through the address they captured. UI thread only, except
// `stop_requested`.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <string>

#include "engine.h"
#include "webview2.h"

struct AppState {
    HWND hwnd = nullptr;                          // null before WM_CREATE and after WM_DESTROY
    ComPtr<ICoreWebView2Controller> controller;   // released on WM_CLOSE
    ComPtr<ICoreWebView2> webview;                // released on WM_CLOSE
    bool web_ready = false;                       // the page navigation has started: post at once
    std::deque<std::u16string> pending_messages;  // page messages made before web_ready
    EnginePtr engine;                             // shut down after the message loop
    std::unique_ptr<ChatHistory> history;
    HANDLE worker_thread = nullptr;               // the latest worker, until its final message
    std::atomic<bool> stop_requested{false};      // read by the generation thread once per token
    bool model_loaded = false;                    // gate of "send"
    bool generating = false;                      // gate of "send", "stop" and "new_chat"
    std::string reply;                            // UTF-8 text of the reply being streamed
};
