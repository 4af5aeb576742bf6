// Top-level windows on GTK under a display: creation messages, WM_SIZE with
// the client size and the web view following it, the close button's WM_CLOSE
// (the window stays until destroyed) ending the loop through WM_DESTROY, and
// the modal message box, during which posted messages keep arriving.
#include <gtest/gtest.h>

#include <vector>

#include "web_view.h"
#include "web_view_harness.h"
#include "window_record.h"
#include "windows.h"

namespace {

struct Seen {
    std::vector<UINT> messages;
    WPARAM dpi = 0;
    RECT suggested;
    std::vector<std::pair<int, int>> sizes;  // WM_SIZE client sizes
    bool destroy_on_close = false;
    ICoreWebView2Controller* controller = nullptr;  // given the client area on WM_SIZE, as the program does
};

Seen* g_seen = nullptr;

LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (g_seen == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    g_seen->messages.push_back(message);
    switch (message) {
    case WM_SIZE:
        if (wparam == SIZE_MINIMIZED) return 0;
        g_seen->sizes.push_back({LOWORD(lparam), HIWORD(lparam)});
        if (g_seen->controller != nullptr) {
            RECT client;
            GetClientRect(window, &client);
            g_seen->controller->put_Bounds(client);
        }
        return 0;
    case WM_CLOSE:
        if (g_seen->destroy_on_close) DestroyWindow(window);
        return 0;
    case WM_DPICHANGED:
        g_seen->dpi = wparam;
        g_seen->suggested = *(RECT*)lparam;
        return 0;
    case WM_DESTROY:
        PostQuitMessage(4);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

class Toplevel : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = &seen;
        window = OpenTestWindow(Record);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (IsWindow(window)) {
            DestroyWindow(window);  // its WM_DESTROY posts a quit: take it here
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        }
        g_seen = nullptr;
    }
    Seen seen;
    HWND window = nullptr;
};

TEST_F(Toplevel, CreationMessagesComeFirstAndTheClientSizeIsTheRequestedOne) {
    ASSERT_GE(seen.messages.size(), 2u);
    EXPECT_EQ(seen.messages[0], (UINT)WM_NCCREATE);
    EXPECT_EQ(seen.messages[1], (UINT)WM_CREATE);
    RECT client;
    ASSERT_TRUE(GetClientRect(window, &client));
    EXPECT_EQ(client.right, 640);
    EXPECT_EQ(client.bottom, 480);
    EXPECT_FALSE(ShowWindow(window, SW_SHOW)) << "it was hidden";
    EXPECT_TRUE(ShowWindow(window, SW_HIDE)) << "it was shown";
}

TEST_F(Toplevel, ResizingSendsTheNewClientSize) {
    ShowWindow(window, SW_SHOWNORMAL);
    PumpFor(200);
    seen.sizes.clear();
    EXPECT_TRUE(SetWindowPos(window, nullptr, 0, 0, 500, 300, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE));
    ASSERT_TRUE(PumpUntil([&] { return !seen.sizes.empty() && seen.sizes.back() == std::make_pair(500, 300); }));
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 500);
    EXPECT_EQ(client.bottom, 300);
}

// The window manager's resize (a drag, a maximise) reaches GTK as a new size
// of the X window, not as a request of the program's.
TEST_F(Toplevel, TheViewFollowsTheClientAreaWhenTheWindowGrowsAndShrinks) {
    WebViewHarness harness;
    harness.window = window;
    ASSERT_TRUE(OpenWebView(&harness));
    seen.controller = harness.controller.Get();
    WebKitWebView* view = FindWebViewIn(window);
    ASSERT_NE(view, nullptr);
    auto view_size = [&] {
        GtkAllocation allocation;
        gtk_widget_get_allocation(GTK_WIDGET(view), &allocation);
        return std::make_pair(allocation.width, allocation.height);
    };
    ASSERT_TRUE(PumpUntil([&] { return view_size() == std::make_pair(640, 480); })) << "the first bounds";

    const std::pair<int, int> sizes[] = {
        {1200, 850},   // larger
        {700, 500},    // smaller, still larger than at the start
        {300, 200},    // smaller than at the start
        {1, 1},        // the least a window can be
        {1280, 1024},  // the whole screen
    };
    for (const auto& size : sizes) {
        SCOPED_TRACE(::testing::Message() << size.first << " x " << size.second);
        gdk_window_resize(gtk_widget_get_window(window->toplevel), size.first, size.second);
        ASSERT_TRUE(PumpUntil([&] { return !seen.sizes.empty() && seen.sizes.back() == size; }))
            << "WM_SIZE never carried the new client size";
        RECT client;
        ASSERT_TRUE(GetClientRect(window, &client));
        EXPECT_EQ(std::make_pair((int)client.right, (int)client.bottom), size);
        ASSERT_TRUE(PumpUntil([&] { return view_size() == size; }))
            << "the view stayed " << view_size().first << " x " << view_size().second;
        GtkAllocation allocation;
        gtk_widget_get_allocation(GTK_WIDGET(view), &allocation);
        EXPECT_EQ(allocation.x, 0);
        EXPECT_EQ(allocation.y, 0);
    }
    seen.controller = nullptr;
    harness.view.Reset();
    harness.controller.Reset();
}

TEST_F(Toplevel, TheCloseButtonAsksAndTheWindowStaysUntilDestroyed) {
    ShowWindow(window, SW_SHOW);
    gtk_window_close(GTK_WINDOW(window->toplevel));  // what the title bar's button does
    ASSERT_TRUE(PumpUntil([&] { return seen.messages.back() == WM_CLOSE; }));
    PumpFor(100);
    EXPECT_TRUE(IsWindow(window)) << "the program has not destroyed it";

    seen.destroy_on_close = true;
    gtk_window_close(GTK_WINDOW(window->toplevel));
    MSG message;
    int loops = 0;
    while (GetMessageW(&message, nullptr, 0, 0) > 0 && loops++ < 100000) DispatchMessageW(&message);
    EXPECT_EQ(message.message, (UINT)WM_QUIT);
    EXPECT_EQ(message.wParam, (WPARAM)4);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(seen.messages.back(), (UINT)WM_DESTROY);
}

// GTK's report of a state change, as the window manager would cause it.
void SendWindowState(HWND window, GdkWindowState changed, GdkWindowState now) {
    GdkEvent* event = gdk_event_new(GDK_WINDOW_STATE);
    event->window_state.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window->toplevel)));
    event->window_state.changed_mask = changed;
    event->window_state.new_window_state = now;
    gtk_widget_event(window->toplevel, event);
    gdk_event_free(event);
}

TEST_F(Toplevel, MinimisingReportsSizeMinimizedAndRestoringTheClientSize) {
    ShowWindow(window, SW_SHOW);
    PumpFor(100);
    seen.messages.clear();
    seen.sizes.clear();
    SendWindowState(window, GDK_WINDOW_STATE_ICONIFIED, GDK_WINDOW_STATE_ICONIFIED);
    ASSERT_EQ(seen.messages, std::vector<UINT>{WM_SIZE});
    EXPECT_TRUE(seen.sizes.empty()) << "a minimised window reports no client size";
    SendWindowState(window, GDK_WINDOW_STATE_ICONIFIED, (GdkWindowState)0);
    ASSERT_EQ(seen.sizes.size(), 1u);
    EXPECT_EQ(seen.sizes[0], std::make_pair(640, 480));
}

TEST_F(Toplevel, AScaleChangeSuggestsARectangleForTheNewDpi) {
    ShowWindow(window, SW_SHOW);
    PumpFor(100);
    // As if the window had been on a monitor of twice the scale until now.
    window->scale = 2;
    g_object_notify(G_OBJECT(window->toplevel), "scale-factor");
    ASSERT_EQ(seen.messages.back(), (UINT)WM_DPICHANGED);
    EXPECT_EQ(LOWORD(seen.dpi), 96 * gtk_widget_get_scale_factor(window->toplevel));
    EXPECT_EQ(HIWORD(seen.dpi), LOWORD(seen.dpi));
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(window->toplevel), &width, &height);
    EXPECT_EQ(seen.suggested.right - seen.suggested.left, width);
    EXPECT_EQ(seen.suggested.bottom - seen.suggested.top, height);
    size_t count = seen.messages.size();
    g_object_notify(G_OBJECT(window->toplevel), "scale-factor");
    EXPECT_EQ(seen.messages.size(), count) << "no change of scale, no message";
}

// --- the message box ---

struct BoxCheck {
    bool handled_during_box = false;
    std::string text;
    std::string title;
};
BoxCheck g_box;

LRESULT CALLBACK AnswerTheBox(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != WM_APP) return DefWindowProcW(window, message, wparam, lparam);
    // Runs inside MessageBoxW's loop: read the dialog, then press OK.
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        if (!GTK_IS_MESSAGE_DIALOG(item->data) || !gtk_widget_get_visible(GTK_WIDGET(item->data))) continue;
        g_box.handled_during_box = true;
        gchar* text = nullptr;
        g_object_get(item->data, "text", &text, nullptr);
        g_box.text = text != nullptr ? text : "";
        g_free(text);
        g_box.title = gtk_window_get_title(GTK_WINDOW(item->data));
        gtk_dialog_response(GTK_DIALOG(item->data), GTK_RESPONSE_OK);
    }
    g_list_free(windows);
    return 0;
}

TEST(MessageBox, IsModalKeepsPostedMessagesFlowingAndShowsTheTextAsIs) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = AnswerTheBox;
    window_class.lpszClassName = u"VelkinBoxAnswer";
    RegisterClassExW(&window_class);
    HWND helper = CreateWindowExW(0, u"VelkinBoxAnswer", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    PostMessageW(helper, WM_APP, 0, 0);  // posted before the box: it must still be handled inside it
    const char16_t* text = u"WebView2 Runtime not found.\n\n<b>markup</b> stays text \u2014 %s";
    int result = MessageBoxW(nullptr, text, u"Velkin \u2014 Missing Component", MB_ICONERROR);
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(g_box.handled_during_box);
    EXPECT_EQ(g_box.text, Narrow(text));
    EXPECT_EQ(g_box.title, "Velkin \xE2\x80\x94 Missing Component");
    DestroyWindow(helper);
}

}  // namespace
