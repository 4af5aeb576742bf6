// The test-only hook through its client: a test thread talks to the socket
// while the UI thread runs the loop, as a whole-app test does with the program.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>

#include "test_hook_client.h"
#include "web_view_harness.h"

namespace {

std::atomic<int> g_close_messages{0};

LRESULT CALLBACK CountCloses(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) {
        g_close_messages++;
        return 0;  // the test keeps the window
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// A request made from a worker thread while the UI thread pumps.
struct Exchange {
    TestHookClient* client = nullptr;
    std::string request;
    int timeout_ms = 0;
    std::string response;
    bool sent = false;
};

DWORD WINAPI RunExchange(LPVOID parameter) {
    Exchange* exchange = (Exchange*)parameter;
    exchange->sent = SendTestHookRequest(exchange->client, exchange->request, &exchange->response,
                                         exchange->timeout_ms);
    return 0;
}

std::string Ask(TestHookClient* client, const std::string& request, int timeout_ms = EventLimitMs()) {
    Exchange exchange;
    exchange.client = client;
    exchange.request = request;
    exchange.timeout_ms = timeout_ms;
    HANDLE thread = CreateThread(nullptr, 0, RunExchange, &exchange, 0, nullptr);
    PumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; });
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return exchange.sent ? exchange.response : "no response";
}

struct Connector {
    std::string path;
    TestHookClient* client = nullptr;
    bool connected = false;
};

DWORD WINAPI RunConnect(LPVOID parameter) {
    Connector* connector = (Connector*)parameter;
    connector->connected = ConnectTestHook(connector->path, EventLimitMs(), connector->client);
    return 0;
}

class TestHook : public ::testing::Test {
protected:
    void SetUp() override {
        folder = MakeTempFolder();
        socket_path = folder + "/hook.sock";
        setenv("VELKIN_TEST_HOOK", socket_path.c_str(), 1);
        // The client starts trying before the socket exists.
        Connector connector{socket_path, &client};
        HANDLE thread = CreateThread(nullptr, 0, RunConnect, &connector, 0, nullptr);
        harness.window = OpenTestWindow(CountCloses);
        ASSERT_NE(harness.window, nullptr);
        struct stat info;
        EXPECT_EQ(stat(socket_path.c_str(), &info), 0) << "listening once the first window exists";
        PumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; });
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        ASSERT_TRUE(connector.connected);
    }
    void TearDown() override {
        CloseTestHook(&client);
        CloseWebView(&harness);
        RemoveFolder(folder);
    }
    std::string folder, socket_path;
    TestHookClient client;
    WebViewHarness harness;
};

TEST_F(TestHook, AnswersAboutTheWindowAndRefusesScriptBeforeThePageExists) {
    EXPECT_EQ(Ask(&client, TestHookEvalRequest("return 1")), "{\"ok\":false,\"error\":\"no page\"}");
    EXPECT_EQ(Ask(&client, "{\"windows\":true}"),
              "{\"ok\":true,\"value\":{\"visible\":false,\"title\":\"Velkin test\",\"width\":640,\"height\":480}}");
    const char* bad[] = {"not json", "{}", "{\"eval\":5}", "[1,2]", "{\"unknown\":true}"};
    for (const char* request : bad) {
        EXPECT_EQ(Ask(&client, request), "{\"ok\":false,\"error\":\"bad request\"}") << request;
    }
}

TEST_F(TestHook, EvaluatesScriptInThePageAndSnapshotsIt) {
    ASSERT_TRUE(OpenWebView(&harness));
    ASSERT_TRUE(LoadPage(&harness,
                         "<!doctype html><meta charset=\"utf-8\"><title>Hook \xE2\x80\x9Cpage\xE2\x80\x9D</title>"
                         "<body style=\"background:#ff0000\"><p id=\"x\">caf\xC3\xA9</p><script>"
                         "window.chrome.webview.postMessage('ready')</script>",
                         "\"ready\""));
    struct Case {
        const char* script;
        const char* response;
    } cases[] = {
        {"return document.title", "{\"ok\":true,\"value\":\"Hook \xE2\x80\x9Cpage\xE2\x80\x9D\"}"},
        {"return {b: 1, a: [document.getElementById('x').textContent]}",
         "{\"ok\":true,\"value\":{\"b\":1,\"a\":[\"caf\xC3\xA9\"]}}"},
        {"await new Promise(r => setTimeout(r, 50)); return 'waited'", "{\"ok\":true,\"value\":\"waited\"}"},
        {"document.body.dataset.touched = 'yes'", "{\"ok\":true,\"value\":null}"},
        {"return document.body.dataset.touched", "{\"ok\":true,\"value\":\"yes\"}"},
        {"return \"line\\nquote\\\"\"", "{\"ok\":true,\"value\":\"line\\nquote\\\"\"}"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(Ask(&client, TestHookEvalRequest(test.script)), test.response) << test.script;
    }
    // Requests written by other JSON writers: escapes, pairs, spacing.
    EXPECT_EQ(Ask(&client, R"( { "eval" : "return '\u00e9\ud83d\ude00\t' + \"\\/\"" } )"),
              "{\"ok\":true,\"value\":\"\xC3\xA9\xF0\x9F\x98\x80\\t/\"}");
    EXPECT_EQ(Ask(&client, R"({"eval":"\x41"})"), "{\"ok\":false,\"error\":\"bad request\"}");
    EXPECT_EQ(Ask(&client, R"({"eval":"return 1"} trailing)"), "{\"ok\":false,\"error\":\"bad request\"}");
    std::string thrown = Ask(&client, TestHookEvalRequest("throw new Error('boom')"));
    EXPECT_EQ(thrown.rfind("{\"ok\":false,\"error\":", 0), 0u) << thrown;
    EXPECT_NE(thrown.find("boom"), std::string::npos) << thrown;

    std::string shot = folder + "/shot.png";
    EXPECT_EQ(Ask(&client, "{\"snapshot\":" + TestHookQuote(shot) + "}"), "{\"ok\":true}");
    std::ifstream png(shot, std::ios::binary);
    char signature[8] = {};
    png.read(signature, 8);
    EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(Ask(&client, "{\"snapshot\":\"relative.png\"}"),
              "{\"ok\":false,\"error\":\"snapshot path must be absolute\"}");

    std::string windows = Ask(&client, "{\"windows\":true}");
    EXPECT_EQ(windows.rfind("{\"ok\":true,\"value\":{\"visible\":true,\"title\":\"Velkin test\"", 0), 0u)
        << windows;
}

TEST_F(TestHook, AnAnswerThatComesTooLateNeverAnswersALaterRequest) {
    ASSERT_TRUE(OpenWebView(&harness));
    ASSERT_TRUE(LoadPage(&harness, "<!doctype html><script>window.chrome.webview.postMessage('ready')</script>",
                         "\"ready\""));
    // The first answer waits for the second request, so the first request always times out.
    EXPECT_EQ(Ask(&client, TestHookEvalRequest("await new Promise(r => window.release = r); return 'late'"), 100),
              "no response");
    EXPECT_EQ(Ask(&client, TestHookEvalRequest("window.release(); return 'second'")),
              "{\"ok\":true,\"value\":\"second\"}");
    EXPECT_EQ(Ask(&client, TestHookEvalRequest("return 'third'")), "{\"ok\":true,\"value\":\"third\"}");
}

TEST_F(TestHook, ResizesTheWindowAsTheUsersDragWouldAndRefusesBadSizes) {
    EXPECT_EQ(Ask(&client, TestHookResizeRequest(700, 500)),
              "{\"ok\":false,\"error\":\"no window shown\"}");
    ShowWindow(harness.window, SW_SHOW);
    const char* bad[] = {
        R"({"resize":true,"width":0,"height":500})",
        R"({"resize":true,"width":700})",
        R"({"resize":true,"width":-700,"height":500})",
        R"({"resize":true,"width":700.5,"height":500})",
        R"({"resize":true,"width":"700","height":500})",
        R"({"resize":true,"width":1e3,"height":500})",
        R"({"resize":true,"width":32768,"height":500})",
        R"({"resize":true,"width":99999999999999999999,"height":500})",
    };
    for (const char* request : bad) {
        EXPECT_EQ(Ask(&client, request), "{\"ok\":false,\"error\":\"bad size\"}") << request;
    }
    const std::pair<int, int> sizes[] = {{1000, 700}, {300, 200}};
    for (const auto& size : sizes) {
        std::string request = TestHookResizeRequest(size.first, size.second);
        EXPECT_EQ(Ask(&client, request), "{\"ok\":true}");
        RECT client_area = {};
        EXPECT_TRUE(PumpUntil([&] {
            GetClientRect(harness.window, &client_area);
            return client_area.right == size.first && client_area.bottom == size.second;
        })) << request << " left the client area " << client_area.right << " x " << client_area.bottom;
    }
}

TEST_F(TestHook, CloseActsAsTheUsersCloseButton) {
    ShowWindow(harness.window, SW_SHOW);
    EXPECT_EQ(Ask(&client, "{\"close\":true}"), "{\"ok\":true}");
    PumpUntil([] { return g_close_messages > 0; });
    EXPECT_EQ(g_close_messages, 1);
    EXPECT_TRUE(IsWindow(harness.window)) << "the window stays until the program destroys it";
}

}  // namespace
