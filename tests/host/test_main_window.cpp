// The window procedure: messages before the host state is attached, the
// view's bounds on WM_SIZE, worker messages reaching the bridge, and WM_CLOSE
// waiting for the latest worker before the window goes. Runs on a
// message-only window, with a recording web view in place of the real one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "app_state.h"
#include "main_window.h"
#include "recording_webview.h"

namespace {

std::atomic<bool> g_worker_finished{false};

DWORD WINAPI SlowWorker(LPVOID) {
    usleep(300 * 1000);
    g_worker_finished = true;
    return 0;
}

LPARAM Payload(const char* text) {
    char* copy = new char[std::strlen(text) + 1];
    std::strcpy(copy, text);
    return reinterpret_cast<LPARAM>(copy);
}

// The text a worker posted last, and whether anyone has freed it.
std::atomic<void*> g_watched_text{nullptr};
std::atomic<bool> g_watched_text_freed{false};

// A loader that fails while the window is closing: its error is still queued when the wait ends.
DWORD WINAPI WorkerWithLastWords(LPVOID window) {
    PostMessageW(static_cast<HWND>(window), WM_APP_STATUS, 0, Payload("Loading model\xE2\x80\xA6"));
    LPARAM error = Payload("The model could not be loaded. This file may not be a supported GGUF model.");
    g_watched_text = reinterpret_cast<void*>(error);
    PostMessageW(static_cast<HWND>(window), WM_APP_ERROR, 0, error);
    PostMessageW(static_cast<HWND>(window), WM_APP_LOAD_DONE, 0, 0);
    return 0;
}

class MainWindow : public ::testing::Test {
protected:
    RecordingWebView view;
    RecordingController controller;
    AppState state;
    HWND window = nullptr;

    void SetUp() override {
        static ATOM window_class = [] {
            WNDCLASSEXW record = {};
            record.cbSize = sizeof record;
            record.lpfnWndProc = WndProc;
            record.lpszClassName = u"VelkinMainWindowTest";
            return RegisterClassExW(&record);
        }();
        ASSERT_NE(window_class, 0);
        // No creation parameter: WM_NCCREATE stores nothing, so the window's
        // creation leaves the state alone (no web view, no loader).
        window = CreateWindowExW(0, u"VelkinMainWindowTest", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        ASSERT_NE(window, nullptr);
        state.engine.reset(new Engine());
        state.history.reset(new ChatHistory());
        controller.view = &view;
        state.controller = &controller;
        state.webview = &view;
        state.web_ready = true;
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
    }
    void Attach() {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
        state.hwnd = window;
    }
};

TEST_F(MainWindow, MessagesBeforeTheStateIsAttachedTouchNothing) {
    EXPECT_EQ(state.hwnd, nullptr);  // WM_CREATE went to DefWindowProcW
    EXPECT_EQ(state.worker_thread, nullptr);
    EXPECT_EQ(WndProc(window, WM_SIZE, SIZE_RESTORED, 0x01000200), 0);
    EXPECT_EQ(WndProc(window, WM_APP_GEN_DONE, 0, 0), 0);
    EXPECT_TRUE(controller.bounds.empty());
    EXPECT_TRUE(view.log.empty());
}

struct SizeCase {
    const char* name;
    WPARAM kind;
    LPARAM size;
    bool sets_bounds;
    LONG width;
    LONG height;
};

TEST_F(MainWindow, SizeKeepsTheViewOnTheClientArea) {
    Attach();
    const SizeCase cases[] = {
        {"restored", SIZE_RESTORED, (600 << 16) | 800, true, 800, 600},
        {"maximised", SIZE_MAXIMIZED, (1080 << 16) | 1920, true, 1920, 1080},
        {"minimised keeps the last bounds", SIZE_MINIMIZED, 0, false, 0, 0},
        {"zero size", SIZE_RESTORED, 0, true, 0, 0},
        // hostile: the largest sizes read as unsigned, not negative
        {"16-bit extremes", SIZE_RESTORED, static_cast<LPARAM>(0xFFFFFFFFu), true, 65535, 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        controller.bounds.clear();
        EXPECT_EQ(WndProc(window, WM_SIZE, c.kind, c.size), 0);
        ASSERT_EQ(controller.bounds.size(), c.sets_bounds ? 1u : 0u);
        if (!c.sets_bounds) continue;
        const RECT& bounds = controller.bounds[0];
        EXPECT_EQ(bounds.left, 0);
        EXPECT_EQ(bounds.top, 0);
        EXPECT_EQ(bounds.right, c.width);
        EXPECT_EQ(bounds.bottom, c.height);
    }
    state.controller = nullptr;  // before the controller exists nothing happens
    EXPECT_EQ(WndProc(window, WM_SIZE, SIZE_RESTORED, (600 << 16) | 800), 0);
}

TEST_F(MainWindow, WorkerMessagesReachTheBridgeAndOthersDoNot) {
    Attach();
    EXPECT_EQ(WndProc(window, WM_APP_STATUS, 0, Payload("Loading model\xE2\x80\xA6")), 0);
    EXPECT_EQ(WndProc(window, WM_APP + 5, 0, 0), 0);  // not ours: DefWindowProcW
    EXPECT_EQ(WndProc(window, WM_USER, 0, 0), 0);
    EXPECT_EQ(view.Posts(),
              std::vector<std::u16string>{u"{\"type\":\"status\",\"state\":\"\",\"text\":\"Loading model\u2026\"}"});
}

TEST_F(MainWindow, CloseWaitsForTheWorkerThenReleasesTheViewAndDestroysTheWindow) {
    Attach();
    g_worker_finished = false;
    state.worker_thread = CreateThread(nullptr, 0, SlowWorker, nullptr, 0, nullptr);
    ASSERT_NE(state.worker_thread, nullptr);

    EXPECT_EQ(WndProc(window, WM_CLOSE, 0, 0), 0);

    EXPECT_TRUE(g_worker_finished.load());
    EXPECT_EQ(state.worker_thread, nullptr);
    EXPECT_TRUE(state.stop_requested.load());
    EXPECT_FALSE(state.webview);
    EXPECT_FALSE(state.controller);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(state.hwnd, nullptr);  // WM_DESTROY ran
    MSG message;
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);  // and posted the quit message
}

TEST_F(MainWindow, CloseFreesTheTextsOfWorkerMessagesStillQueued) {
    Attach();
    g_watched_text_freed = false;
    state.worker_thread = CreateThread(nullptr, 0, WorkerWithLastWords, window, 0, nullptr);
    ASSERT_NE(state.worker_thread, nullptr);

    EXPECT_EQ(WndProc(window, WM_CLOSE, 0, 0), 0);

    EXPECT_TRUE(g_watched_text_freed.load()) << "the queued error's text leaked";
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(view.Posts().empty()) << "nothing is handled once the window is closing";
    MSG message;
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0) << "only the quit message is left";
}

}  // namespace

// Every array freed in this program passes here, so a test can see its text go.
void operator delete[](void* block) noexcept {
    if (block != nullptr && block == g_watched_text.load()) g_watched_text_freed = true;
    free(block);
}
void operator delete[](void* block, size_t) noexcept { operator delete[](block); }
