// The program's entry: the host state, the window class and the main window,
// the message loop and the teardown. Runs on the UI thread; the platform's
// main() calls WinMain.
#include "app_state.h"
#include "main_window.h"

namespace {

const int kWindowWidth = 860;  // outer size in pixels, not scaled for DPI
const int kWindowHeight = 640;
const int kIconResourceId = 1;

typedef BOOL (*SetProcessDpiAwarenessContextFunction)(DPI_AWARENESS_CONTEXT);
typedef HRESULT (*DwmSetWindowAttributeFunction)(HWND, DWORD, LPCVOID, DWORD);
typedef void (*AnyFunction)();  // the one function type that casts to the others without a warning

// Per-monitor DPI awareness where the system offers it; skipped silently elsewhere.
void SetDpiAwareness() {
    HMODULE user32 = LoadLibraryW(u"user32.dll");
    if (user32 == nullptr) return;
    auto set_awareness = reinterpret_cast<SetProcessDpiAwarenessContextFunction>(
        reinterpret_cast<AnyFunction>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    if (set_awareness != nullptr) set_awareness(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    FreeLibrary(user32);
}

// Rounded window corners where the system offers them; the default corners elsewhere.
void AskForRoundedCorners(HWND window) {
    HMODULE dwmapi = LoadLibraryW(u"dwmapi.dll");
    if (dwmapi == nullptr) return;
    auto set_attribute = reinterpret_cast<DwmSetWindowAttributeFunction>(
        reinterpret_cast<AnyFunction>(GetProcAddress(dwmapi, "DwmSetWindowAttribute")));
    if (set_attribute != nullptr) {
        int32_t preference = DWMWCP_ROUND;
        set_attribute(window, DWMWA_WINDOW_CORNER_PREFERENCE, &preference, sizeof preference);
    }
    FreeLibrary(dwmapi);
}

ATOM RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = WndProc;
    window_class.hInstance = instance;
    window_class.hIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (window_class.hIcon == nullptr) window_class.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    window_class.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON,
                                                         GetSystemMetrics(SM_CXSMICON),
                                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (window_class.hIconSm == nullptr) window_class.hIconSm = window_class.hIcon;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    window_class.lpszClassName = u"VelkinWnd";
    return RegisterClassExW(&window_class);
}

// Lets the engine, the conversation and the view go, in that order.
void TearDown(AppState& state) {
    state.engine.reset();  // ShutdownEngine
    state.history.reset();
    state.reply.clear();
    state.pending_messages.clear();  // texts never posted are dropped
    state.webview = nullptr;
    state.controller = nullptr;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    SetDpiAwareness();

    PrepareEngineBackend();  // before the web view's and the loader's threads exist

    AppState state;
    state.engine.reset(new Engine());
    state.history.reset(new ChatHistory());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    // The window: WM_CREATE starts the web view and the model loader inside CreateWindowExW.
    HWND window = nullptr;
    if (RegisterMainWindowClass(instance) != 0) {
        window = CreateWindowExW(0, u"VelkinWnd", u"Velkin 1.0", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                 kWindowWidth, kWindowHeight, nullptr, nullptr, instance, &state);
    }
    if (window == nullptr) {
        MessageBoxW(nullptr, u"Failed to create the application window.", u"Velkin", MB_ICONERROR);
        TearDown(state);
        return 1;
    }
    AskForRoundedCorners(window);
    ShowWindow(window, show);
    UpdateWindow(window);

    // The message loop, until WM_DESTROY's quit message.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    CoUninitialize();
    TearDown(state);
    return 0;
}
