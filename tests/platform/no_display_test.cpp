// Without a display: the engine's message-only windows still work, while a
// top-level window, a web view environment and a message box fail cleanly.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "webview2.h"
#include "windows.h"

namespace {

class NeverCalled final : public ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT, ICoreWebView2Environment*) override {
        invoked = true;
        return S_OK;
    }
    ULONG refs = 1;
    bool invoked = false;
};

LRESULT CALLBACK Plain(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wparam, lparam);
}

TEST(NoDisplay, OnlyWhatNeedsADisplayFails) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = Plain;
    window_class.lpszClassName = u"VelkinNoDisplay";
    ASSERT_NE(RegisterClassExW(&window_class), 0);

    EXPECT_EQ(CreateWindowExW(0, u"VelkinNoDisplay", u"Velkin 1.0", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 860, 640, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    HWND message_only = CreateWindowExW(0, u"VelkinNoDisplay", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        nullptr, nullptr);
    ASSERT_NE(message_only, nullptr);
    EXPECT_TRUE(PostMessageW(message_only, WM_CLOSE, 0, 0));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    EXPECT_FALSE(IsWindow(message_only));

    NeverCalled handler;
    EXPECT_TRUE(FAILED(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, &handler)));
    EXPECT_FALSE(handler.invoked);
    EXPECT_EQ(handler.refs, 1u) << "no reference kept";

    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(nullptr, u"Failed to create the application window.", u"Velkin", MB_ICONERROR), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Velkin: Failed to create the application window.\n");
}

}  // namespace
