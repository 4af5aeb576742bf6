// Messages between the program and the page through the real WebKitGTK
// view: order and completeness before the page listens, compact JSON from
// the page, and hostile JSON texts that must arrive as data.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>

#include "web_view_harness.h"

namespace {

class WebMessages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenWebView(&harness)); }
    void TearDown() override { CloseWebView(&harness); }
    WebViewHarness harness;
};

size_t CountOf(const std::vector<std::string>& list, const std::string& item) {
    size_t n = 0;
    for (const std::string& entry : list) n += entry == item ? 1 : 0;
    return n;
}

TEST_F(WebMessages, MessagesPostedBeforeThePageListensArriveOnceInOrder) {
    // The page starts listening only after a while; every message echoes back.
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      setTimeout(() => {
        window.chrome.webview.addEventListener('message', e => window.chrome.webview.postMessage(e.data));
        window.chrome.webview.postMessage('listening');
      }, 300);
    </script>)";
    harness.view->NavigateToString(Wide(page).c_str());
    // Posted at once, before the page has even loaded.
    for (int i = 1; i <= 5; i++) {
        harness.view->PostWebMessageAsJson(Wide("{\"n\":" + std::to_string(i) + "}").c_str());
    }
    ASSERT_TRUE(PumpUntil([&] { return CountOf(harness.received, "{\"n\":5}") > 0; }));
    harness.view->PostWebMessageAsJson(u"{\"n\":6}");  // after the page listens
    ASSERT_TRUE(PumpUntil([&] { return CountOf(harness.received, "{\"n\":6}") > 0; }));
    PumpFor(kQuietWindowMs);  // room for any duplicate to show up

    std::vector<std::string> echoes;
    for (const std::string& message : harness.received) {
        if (message != "\"listening\"") echoes.push_back(message);
    }
    EXPECT_EQ(echoes, (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}", "{\"n\":3}", "{\"n\":4}",
                                                "{\"n\":5}", "{\"n\":6}"}));
}

TEST_F(WebMessages, PostedObjectsArriveAsCompactJsonInWrittenOrder) {
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      const w = window.chrome.webview;
      w.postMessage({ type: 'send', text: 'h\u00e9llo "you"\n', z: 1, a: [true, null, 2.5] });
      w.postMessage('plain string');
      w.postMessage({ nested: { b: 1, a: 2 } });
      let threw = false;
      try { w.postMessage(undefined); } catch (e) { threw = true; }
      w.postMessage({ threwOnUndefined: threw });
    </script>)";
    ASSERT_TRUE(LoadPage(&harness, page, "{\"threwOnUndefined\":true}"));
    ASSERT_EQ(harness.received.size(), 4u);
    EXPECT_EQ(harness.received[0],
              "{\"type\":\"send\",\"text\":\"h\xC3\xA9llo \\\"you\\\"\\n\",\"z\":1,\"a\":[true,null,2.5]}");
    EXPECT_EQ(harness.received[1], "\"plain string\"");
    EXPECT_EQ(harness.received[2], "{\"nested\":{\"b\":1,\"a\":2}}");
}

TEST_F(WebMessages, HostileJsonTextsArriveIntactAndAreNeverRun) {
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      window.pwned = 0;
      window.chrome.webview.addEventListener('message', e => {
        window.chrome.webview.postMessage({ got: e.data, pwned: window.pwned });
      });
    </script>)";
    harness.view->NavigateToString(Wide(page).c_str());
    // Each text is valid JSON; the echo must give back the same value.
    const std::string texts[] = {
        R"({"t":"\"quoted\" and \\ backslash"})",
        R"({"t":"</script><script>window.pwned=1</script>"})",
        "{\"t\":\"line\xE2\x80\xA8separator\xE2\x80\xA9paragraph\"}",
        "{\"t\":\"emoji \xF0\x9F\x98\x80 and \xF0\x9D\x84\x9E\"}",
        R"({"t":"\");window.pwned=2;(\""})",
        R"({"t":"'); window.pwned=3; ('"})",
        R"({"t":"\u0000\u001f\b\f\r\t"})",
        R"(["array",1,{"deep":[null]}])",
    };
    for (const std::string& text : texts) harness.view->PostWebMessageAsJson(Wide(text).c_str());
    ASSERT_TRUE(PumpUntil([&] { return harness.received.size() >= 8; }));

    const std::string expected_echo[] = {
        R"({"got":{"t":"\"quoted\" and \\ backslash"},"pwned":0})",
        R"({"got":{"t":"</script><script>window.pwned=1</script>"},"pwned":0})",
        "{\"got\":{\"t\":\"line\xE2\x80\xA8separator\xE2\x80\xA9paragraph\"},\"pwned\":0}",
        "{\"got\":{\"t\":\"emoji \xF0\x9F\x98\x80 and \xF0\x9D\x84\x9E\"},\"pwned\":0}",
        R"({"got":{"t":"\");window.pwned=2;(\""},"pwned":0})",
        R"({"got":{"t":"'); window.pwned=3; ('"},"pwned":0})",
        R"({"got":{"t":"\u0000\u001f\b\f\r\t"},"pwned":0})",
        R"({"got":["array",1,{"deep":[null]}],"pwned":0})",
    };
    for (size_t i = 0; i < 8; i++) EXPECT_EQ(harness.received[i], expected_echo[i]) << i;
}

TEST_F(WebMessages, TextThatIsNotJsonIsDroppedWithoutHarm) {
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      window.chrome.webview.addEventListener('message', e => window.chrome.webview.postMessage(e.data));
    </script>)";
    harness.view->NavigateToString(Wide(page).c_str());
    harness.view->PostWebMessageAsJson(u"not json at all");
    harness.view->PostWebMessageAsJson(u"{\"cut\":");
    harness.view->PostWebMessageAsJson(u"{\"after\":true}");
    ASSERT_TRUE(PumpUntil([&] { return !harness.received.empty(); }));
    EXPECT_EQ(harness.received, std::vector<std::string>{"{\"after\":true}"});
    EXPECT_EQ(harness.view->PostWebMessageAsJson(nullptr), E_INVALIDARG);
}

}  // namespace

namespace {

struct Flood {
    HWND window = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<long> posted{0};
    std::atomic<bool> done_posting{false};
};

long g_flood_handled = 0;  // UI thread only

DWORD WINAPI PostWithoutPause(LPVOID parameter) {
    Flood* flood = (Flood*)parameter;
    // Capped so the queue stays small in memory, yet takes seconds to handle.
    while (!flood->stop && flood->posted < 300000) {
        PostMessageW(flood->window, WM_APP, 0, 0);
        flood->posted++;
    }
    flood->done_posting = true;
    return 0;
}

// Handling takes longer than posting, so the queue never runs dry.
LRESULT CALLBACK HandleSlowly(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_APP) {
        g_flood_handled++;
        struct timespec pause = {0, 50000};
        nanosleep(&pause, nullptr);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

TEST_F(WebMessages, AFloodOfPostedMessagesDoesNotFreezeThePage) {
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      window.chrome.webview.addEventListener('message', e => window.chrome.webview.postMessage(e.data));
      window.chrome.webview.postMessage('ready');
    </script>)";
    ASSERT_TRUE(LoadPage(&harness, page, "\"ready\""));
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = HandleSlowly;
    window_class.lpszClassName = u"VelkinFlood";
    RegisterClassExW(&window_class);
    Flood flood;
    flood.window = CreateWindowExW(0, u"VelkinFlood", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, PostWithoutPause, &flood, 0, nullptr);
    // A worker posting as fast as it can, like a fast model streaming tokens.
    PumpUntil([&] { return flood.posted > 10000; });
    harness.view->PostWebMessageAsJson(u"{\"echo\":1}");
    // However slow the machine, the echo must come while the queue still holds posted messages.
    bool drained = false;
    PumpUntil([&] {
        if (harness.received.size() >= 2) return true;
        drained = flood.done_posting && g_flood_handled >= flood.posted;
        return drained;
    }, EventLimitMs());
    bool echoed = harness.received.size() >= 2;
    flood.stop = true;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    DestroyWindow(flood.window);
    EXPECT_TRUE(echoed && !drained) << "the page stayed silent while the queue was never empty";
}

}  // namespace
