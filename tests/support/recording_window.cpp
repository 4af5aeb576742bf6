// The recording window: its class, its procedure, and readers of what it kept.
#include "recording_window.h"

namespace {

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    auto* received = reinterpret_cast<std::vector<Received>*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!received || message < WM_APP_TOKEN || message > WM_APP_DRAIN_MARKER) {
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    Received entry;
    entry.message = message;
    entry.at = std::chrono::steady_clock::now();
    if (lparam != 0) {
        char* text = reinterpret_cast<char*>(lparam);
        entry.text = text;
        entry.has_text = true;
        delete[] text;
    }
    received->push_back(entry);
    return 0;
}

const WCHAR* RecordingClass() {
    static const WCHAR* name = [] {
        WNDCLASSEXW window_class = {};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = RecordingProc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = u"VelkinRecordingWindow";
        RegisterClassExW(&window_class);
        return u"VelkinRecordingWindow";
    }();
    return name;
}

}  // namespace

HWND MakeRecordingWindow(std::vector<Received>* received) {
    return CreateWindowExW(0, RecordingClass(), u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), received);
}

std::vector<std::string> TextsOf(const std::vector<Received>& received, UINT message) {
    std::vector<std::string> texts;
    for (const Received& entry : received) {
        if (entry.message == message) texts.push_back(entry.text);
    }
    return texts;
}

int CountOf(const std::vector<Received>& received, UINT message) {
    return static_cast<int>(TextsOf(received, message).size());
}

std::vector<UINT> MessagesOf(const std::vector<Received>& received) {
    std::vector<UINT> messages;
    for (const Received& entry : received) messages.push_back(entry.message);
    return messages;
}

std::string JoinPieces(const std::vector<Received>& received) {
    std::string text;
    for (const Received& entry : received) {
        if (entry.message == WM_APP_TOKEN) text += entry.text;
    }
    return text;
}
