// The web view test harness: handler objects that record what the layer
// reports, and a loop with a time-out.
#include "web_view_harness.h"

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <fstream>

#include "com_object.h"
#include "web_data_folder.h"

namespace {

// One COM handler object per interface, each calling a std::function.
template <class Interface, class... Args>
class Handler final : public ComObject<Interface> {
public:
    explicit Handler(std::function<HRESULT(Args...)> body) : body_(std::move(body)) {}
    HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return body_(args...); }

private:
    std::function<HRESULT(Args...)> body_;
};

using EnvironmentDone =
    Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using ControllerDone =
    Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>;
using MessageReceived = Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                                ICoreWebView2WebMessageReceivedEventArgs*>;
using NavigationStarting = Handler<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*,
                                   ICoreWebView2NavigationStartingEventArgs*>;

LRESULT CALLBACK HarnessProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) return 0;  // tests close the window themselves
    return DefWindowProcW(window, message, wparam, lparam);
}

const WCHAR kHarnessClass[] = u"VelkinWebViewHarness";
const WCHAR kTickerClass[] = u"VelkinTicker";

void RegisterClasses() {
    static bool done = false;
    if (done) return;
    done = true;
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = HarnessProc;
    window_class.lpszClassName = kHarnessClass;
    RegisterClassExW(&window_class);
    window_class.lpszClassName = kTickerClass;
    RegisterClassExW(&window_class);
}

struct Ticker {
    HWND window = nullptr;
    std::atomic<bool> stop{false};
};

// Wakes the loop every 10 ms so a time-out can be noticed.
DWORD WINAPI Tick(LPVOID parameter) {
    Ticker* ticker = (Ticker*)parameter;
    while (!ticker->stop) {
        PostMessageW(ticker->window, WM_NULL, 0, 0);
        struct timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

std::u16string Wide(const std::string& text) {
    if (text.empty()) return std::u16string();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::u16string out(n, u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

std::string Narrow(const std::u16string& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
    RegisterClasses();
    Ticker ticker;
    ticker.window = CreateWindowExW(0, kTickerClass, u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, Tick, &ticker, 0, nullptr);
    long long deadline = NowMs() + timeout_ms;
    bool met = done();
    while (!met && NowMs() < deadline) {
        MSG message;
        if (GetMessageW(&message, nullptr, 0, 0) <= 0) break;
        DispatchMessageW(&message);
        met = done();
    }
    ticker.stop = true;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    DestroyWindow(ticker.window);
    return met;
}

void PumpFor(int ms) {
    long long until = NowMs() + ms;
    PumpUntil([until] { return NowMs() >= until; }, ms + 1000);
}

bool g_data_folder_chosen = false;

// Each test process keeps its web data in a folder of its own.
void UsePrivateDataFolder() {
    static std::string folder;
    if (g_data_folder_chosen) return;
    g_data_folder_chosen = true;
    folder = MakeTempFolder();
    SetWebDataFolderForTests(folder);
    atexit([] { RemoveFolder(folder); });
}

HWND OpenTestWindow(WNDPROC procedure) {
    RegisterClasses();
    if (procedure != nullptr) {
        static WNDPROC registered = nullptr;
        if (registered == nullptr) {
            registered = procedure;
            WNDCLASSEXW window_class = {};
            window_class.cbSize = sizeof(window_class);
            window_class.lpfnWndProc = procedure;
            window_class.lpszClassName = u"VelkinCustomTest";
            RegisterClassExW(&window_class);
        }
    }
    return CreateWindowExW(0, procedure != nullptr ? u"VelkinCustomTest" : kHarnessClass, u"Velkin test",
                           WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
}

void UseWebDataFolder(const std::string& folder) {
    g_data_folder_chosen = true;
    SetWebDataFolderForTests(folder);
}

bool OpenWebView(WebViewHarness* harness) {
    RegisterClasses();
    UsePrivateDataFolder();
    if (harness->window == nullptr) harness->window = OpenTestWindow();
    if (harness->window == nullptr) return false;
    ShowWindow(harness->window, SW_SHOW);

    bool finished = false;
    auto* on_controller = new ControllerDone([harness, &finished](HRESULT result,
                                                                  ICoreWebView2Controller* controller) {
        finished = true;
        if (FAILED(result) || controller == nullptr) return result;
        harness->controller = controller;
        controller->get_CoreWebView2(harness->view.ReleaseAndGetAddressOf());
        return S_OK;
    });
    bool environment_done = false;
    auto* on_environment = new EnvironmentDone([harness, on_controller, &finished, &environment_done](
                                                   HRESULT result, ICoreWebView2Environment* environment) {
        environment_done = true;
        if (FAILED(result) || environment == nullptr) {
            finished = true;
            return result;
        }
        environment->CreateCoreWebView2Controller(harness->window, on_controller);
        if (finished) harness->completed_inside_call = true;
        return S_OK;
    });
    HRESULT started = CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, on_environment);
    if (environment_done) harness->completed_inside_call = true;
    on_environment->Release();
    if (FAILED(started)) {
        on_controller->Release();
        return false;
    }
    bool ready = PumpUntil([&finished] { return finished; });
    on_controller->Release();
    if (!ready || !harness->view) return false;

    RECT bounds;
    GetClientRect(harness->window, &bounds);
    harness->controller->put_Bounds(bounds);
    harness->controller->put_IsVisible(TRUE);
    auto* on_message = new MessageReceived([harness](ICoreWebView2*,
                                                     ICoreWebView2WebMessageReceivedEventArgs* args) {
        LPWSTR json = nullptr;
        if (SUCCEEDED(args->get_WebMessageAsJson(&json)) && json != nullptr) {
            harness->received.push_back(Narrow(json));
            CoTaskMemFree(json);
        }
        return S_OK;
    });
    auto* on_navigation = new NavigationStarting([harness](ICoreWebView2*,
                                                           ICoreWebView2NavigationStartingEventArgs* args) {
        LPWSTR uri = nullptr;
        if (FAILED(args->get_Uri(&uri)) || uri == nullptr) return S_OK;
        std::string address = Narrow(uri);
        CoTaskMemFree(uri);
        harness->navigations.push_back(address);
        if (!harness->allow(address)) args->put_Cancel(TRUE);
        return S_OK;
    });
    harness->view->add_WebMessageReceived(on_message, nullptr);
    harness->view->add_NavigationStarting(on_navigation, nullptr);
    on_message->Release();
    on_navigation->Release();
    return true;
}

void CloseWebView(WebViewHarness* harness) {
    harness->view.Reset();
    harness->controller.Reset();
    if (harness->window != nullptr) DestroyWindow(harness->window);
    harness->window = nullptr;
}

bool LoadPage(WebViewHarness* harness, const std::string& html, const std::string& ready_message) {
    harness->view->NavigateToString(Wide(html).c_str());
    return PumpUntil([&] {
        for (const std::string& message : harness->received) {
            if (message == ready_message) return true;
        }
        return false;
    });
}

std::string MakeTempFolder() {
    char pattern[] = "/tmp/velkin-web-XXXXXX";
    return mkdtemp(pattern);
}

void RemoveFolder(const std::string& path) {
    if (path.rfind("/tmp/velkin-web-", 0) == 0) std::system(("rm -rf '" + path + "'").c_str());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
