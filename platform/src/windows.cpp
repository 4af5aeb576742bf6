// Window classes and window life: RegisterClassExW, CreateWindowExW (with
// WM_NCCREATE and WM_CREATE inside), DestroyWindow (with WM_DESTROY),
// DefWindowProcW and the user-data slot. UI thread.
#include <map>
#include <new>
#include <string>

#include "window_record.h"

void (*g_toplevel_created_listener)(HWND window) = nullptr;
void (*g_toplevel_destroyed_listener)(HWND window) = nullptr;

namespace {

struct WindowClass {
    WNDPROC procedure = nullptr;
    HICON icon = nullptr;
    HICON small_icon = nullptr;
    ATOM atom = 0;
};

std::map<std::u16string, WindowClass>& Classes() {
    static std::map<std::u16string, WindowClass> classes;
    return classes;
}

ATOM g_next_atom = 0xC000;  // where Windows starts registered class atoms

const WindowClass* FindClass(LPCWSTR name) {
    if (name == nullptr || IS_INTRESOURCE(name)) return nullptr;
    auto found = Classes().find(name);
    return found == Classes().end() ? nullptr : &found->second;
}

}  // namespace

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* window_class) {
    if (window_class == nullptr || window_class->cbSize != sizeof(WNDCLASSEXW)) return 0;
    if (window_class->lpfnWndProc == nullptr) return 0;
    LPCWSTR name = window_class->lpszClassName;
    if (name == nullptr || IS_INTRESOURCE(name) || name[0] == 0) return 0;
    if (FindClass(name) != nullptr) return 0;  // already registered
    WindowClass entry;
    entry.procedure = window_class->lpfnWndProc;
    entry.icon = window_class->hIcon;
    entry.small_icon = window_class->hIconSm != nullptr ? window_class->hIconSm : window_class->hIcon;
    entry.atom = g_next_atom++;
    Classes()[name] = entry;
    return entry.atom;
}

BOOL WINAPI UnregisterClassW(LPCWSTR class_name, HINSTANCE) {
    if (FindClass(class_name) == nullptr) return FALSE;
    Classes().erase(class_name);
    return TRUE;
}

LRESULT SendToWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return window->procedure(window, message, wparam, lparam);
}

HWND WINAPI CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
    const WindowClass* window_class = FindClass(class_name);
    if (window_class == nullptr) return nullptr;
    // Child windows are not offered: only top-level and message-only ones.
    bool message_only = parent == HWND_MESSAGE;
    if (parent != nullptr && !message_only) return nullptr;

    PlatformWindow* window = new (std::nothrow) PlatformWindow();
    if (window == nullptr) return nullptr;
    window->procedure = window_class->procedure;
    window->message_only = message_only;

    CREATESTRUCTW create;
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.x = x;
    create.y = y;
    create.cx = width;
    create.cy = height;
    create.style = (LONG)style;
    create.lpszName = title;
    create.lpszClass = class_name;
    create.dwExStyle = ex_style;

    // Top-level windows need GTK and a display; message-only ones need neither.
    if (!message_only && !CreateToplevel(window, create, window_class->icon,
                                         window_class->small_icon)) {
        delete window;
        return nullptr;
    }
    RegisterLiveWindow(window);
    if (!message_only && g_toplevel_created_listener != nullptr) {
        g_toplevel_created_listener(window);
    }

    if (!SendToWindow(window, WM_NCCREATE, 0, (LPARAM)&create)) {
        window->destroying = true;  // no WM_DESTROY: creation never finished
        ForgetLiveWindow(window);
        if (!message_only) DestroyToplevel(window);
        delete window;
        return nullptr;
    }
    if (SendToWindow(window, WM_CREATE, 0, (LPARAM)&create) == -1) {
        DestroyWindow(window);
        return nullptr;
    }
    return window;
}

BOOL WINAPI DestroyWindow(HWND window) {
    if (!IsWindow(window) || window->destroying) return FALSE;
    window->destroying = true;
    if (!window->message_only && window->toplevel != nullptr) gtk_widget_hide(window->toplevel);
    SendToWindow(window, WM_DESTROY, 0, 0);
    ForgetLiveWindow(window);
    if (!window->message_only) {
        if (g_toplevel_destroyed_listener != nullptr) g_toplevel_destroyed_listener(window);
        DestroyToplevel(window);
    }
    delete window;
    return TRUE;
}

LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    default:
        return 0;
    }
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    if (!IsWindow(window) || index != GWLP_USERDATA) return 0;
    LONG_PTR previous = window->user_data;
    window->user_data = value;
    return previous;
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND window, int index) {
    if (!IsWindow(window) || index != GWLP_USERDATA) return 0;
    return window->user_data;
}
