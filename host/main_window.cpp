// The main window's procedure: the window's own life (creation, size, DPI,
// close, destruction) and the dispatch of the workers' messages. UI thread only.
#include "main_window.h"

#include "app_state.h"
#include "message_bridge.h"
#include "webview_host.h"

namespace {

// Starts the web view, then the model-loading thread.
void OnCreate(AppState& state, HWND window) {
    state.hwnd = window;
    StartWebView(state, window);

    auto* request = new LoadRequest{window, state.engine.get()};
    state.worker_thread = CreateThread(nullptr, 0, ModelLoadThread, request, 0, nullptr);
    if (state.worker_thread == nullptr) {
        delete request;
        PostTextMessage(window, WM_APP_ERROR, "Failed to start the model-loading thread.");
    }
}

void OnSize(AppState& state, WPARAM kind, LPARAM size) {
    if (kind == SIZE_MINIMIZED || !state.controller) return;  // keep the last bounds while minimised
    RECT bounds = {};
    bounds.right = LOWORD(size);
    bounds.bottom = HIWORD(size);
    state.controller->put_Bounds(bounds);
}

// Stops a running reply, waits for the latest worker (a model load runs to
// its end), lets the view go and destroys the window.
void OnClose(AppState& state) {
    state.stop_requested.exchange(true);
    if (state.worker_thread != nullptr) {
        ShowWindow(state.hwnd, SW_HIDE);
        WaitForSingleObject(state.worker_thread, INFINITE);
        CloseHandle(state.worker_thread);
        state.worker_thread = nullptr;
        DiscardWorkerMessages(state.hwnd);  // the worker's last words, never to be handled
    }
    state.webview = nullptr;
    state.controller = nullptr;
    DestroyWindow(state.hwnd);
}

void OnDpiChanged(HWND window, LPARAM suggested) {
    const RECT* rect = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(window, nullptr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(window, message, wparam, lparam);
    }
    auto* state = reinterpret_cast<AppState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (state == nullptr) return DefWindowProcW(window, message, wparam, lparam);

    switch (message) {
    case WM_CREATE: OnCreate(*state, window); return 0;
    case WM_DESTROY:
        state->hwnd = nullptr;
        PostQuitMessage(0);
        return 0;
    case WM_SIZE: OnSize(*state, wparam, lparam); return 0;
    case WM_CLOSE: OnClose(*state); return 0;
    case WM_DPICHANGED: OnDpiChanged(window, lparam); return 0;
    default:
        if (HandleWorkerMessage(*state, message, lparam)) return 0;
        return DefWindowProcW(window, message, wparam, lparam);
    }
}
