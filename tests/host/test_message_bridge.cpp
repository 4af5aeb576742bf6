// The message bridge against a recording web view: what the page receives for
// each worker message, which page messages are refused without an answer,
// reply trimming and storing, cut UTF-8 characters, the queue before the view
// exists, and the jsdebug.log record.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "executable_folder.h"
#include "json_text.h"
#include "message_bridge.h"
#include "recording_webview.h"
#include "text_conversion.h"
#include "webview_host.h"

namespace {

const std::u16string kStopping = u"{\"type\":\"status\",\"state\":\"\",\"text\":\"Stopping\u2026\"}";
const std::u16string kGenDoneStopped = u"{\"type\":\"gen_done\",\"stopped\":true}";
const std::u16string kGenDoneNotStopped = u"{\"type\":\"gen_done\",\"stopped\":false}";
const std::u16string kAssistantStart = u"{\"type\":\"assistant_start\"}";

// A worker payload as the engine posts it.
LPARAM Payload(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return reinterpret_cast<LPARAM>(copy);
}

std::u16string TokenMessage(const std::u16string& quoted_text) {
    return u"{\"type\":\"token\",\"text\":" + quoted_text + u"}";
}

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }

// Worker messages to a message-only window reach the bridge as in the program.
LRESULT CALLBACK BridgeTestWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* state = reinterpret_cast<AppState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (state != nullptr && HandleWorkerMessage(*state, message, lparam)) return 0;
    return DefWindowProcW(window, message, wparam, lparam);
}

class Bridge : public ::testing::Test {
protected:
    RecordingWebView view;
    AppState state;

    void SetUp() override {
        state.engine.reset(new Engine());
        state.history.reset(new ChatHistory());
        state.webview = &view;
        state.web_ready = true;
        state.hwnd = reinterpret_cast<HWND>(0x1);  // a window that is still alive, as far as the handlers see
    }
    void TearDown() override {
        if (state.worker_thread != nullptr) {
            WaitForSingleObject(state.worker_thread, INFINITE);
            CloseHandle(state.worker_thread);
            state.worker_thread = nullptr;
        }
        state.engine.reset();
    }

    // Gives the bridge a real window and pumps its worker messages until the
    // running reply has ended.
    void RunWithWindow(const std::u16string& page_message) {
        static ATOM window_class = [] {
            WNDCLASSEXW record = {};
            record.cbSize = sizeof record;
            record.lpfnWndProc = BridgeTestWindowProc;
            record.lpszClassName = u"VelkinBridgeTest";
            return RegisterClassExW(&record);
        }();
        ASSERT_NE(window_class, 0);
        HWND window = CreateWindowExW(0, u"VelkinBridgeTest", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      nullptr, &state);
        ASSERT_NE(window, nullptr);
        state.hwnd = window;
        HandlePageMessage(state, page_message);
        MSG message;
        while (state.generating && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        state.hwnd = nullptr;
        DestroyWindow(window);
    }
};

struct RefusedCase {
    const char* name;
    bool model_loaded;
    bool generating;
    bool loader_running;
    std::u16string json;
};

TEST_F(Bridge, RefusedPageMessagesGetNoAnswerAndChangeNothing) {
    const RefusedCase cases[] = {
        {"send before the model has loaded", false, false, true, u"{\"type\":\"send\",\"text\":\"hi\"}"},
        {"send after a failed load", false, false, false, u"{\"type\":\"send\",\"text\":\"hi\"}"},
        {"send while a reply runs", true, true, false, u"{\"type\":\"send\",\"text\":\"hi\"}"},
        {"send with empty text", true, false, false, u"{\"type\":\"send\",\"text\":\"\"}"},
        {"send without text", true, false, false, u"{\"type\":\"send\"}"},
        {"send with a number as text", true, false, false, u"{\"type\":\"send\",\"text\":5}"},
        {"stop while idle", true, false, false, u"{\"type\":\"stop\"}"},
        {"stop while the model loads", false, false, true, u"{\"type\":\"stop\"}"},
        {"new chat while a reply runs", true, true, false, u"{\"type\":\"new_chat\"}"},
        {"new chat while the model loads", false, false, true, u"{\"type\":\"new_chat\"}"},
        // hostile
        {"type in capitals", true, false, false, u"{\"type\":\"Send\",\"text\":\"hi\"}"},
        {"type with a trailing space", true, false, false, u"{\"type\":\"send \",\"text\":\"hi\"}"},
        {"type with a leading space", true, false, false, u"{\"type\":\" send\",\"text\":\"hi\"}"},
        {"unknown type", true, false, false, u"{\"type\":\"shutdown\"}"},
        {"no type", true, false, false, u"{\"text\":\"hi\"}"},
        {"not JSON at all", true, false, false, u"send"},
        {"empty message", true, false, false, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view.log.clear();
        state.history->messages.clear();
        state.model_loaded = c.model_loaded;
        state.generating = c.generating;
        state.stop_requested = false;
        state.reply = "partial";
        state.worker_thread = c.loader_running ? CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr) : nullptr;

        HandlePageMessage(state, c.json);

        EXPECT_TRUE(view.log.empty());
        EXPECT_TRUE(state.history->messages.empty());
        EXPECT_FALSE(state.stop_requested.load());
        EXPECT_EQ(state.generating, c.generating);
        EXPECT_EQ(state.reply, "partial");
        EXPECT_EQ(state.worker_thread != nullptr, c.loader_running);
        if (state.worker_thread != nullptr) {
            CloseHandle(state.worker_thread);
            state.worker_thread = nullptr;
        }
    }
}

TEST_F(Bridge, StopWhileGeneratingSetsTheFlagAndSaysStopping) {
    state.model_loaded = true;
    state.generating = true;
    HandlePageMessage(state, u"{\"type\":\"stop\"}");
    EXPECT_TRUE(state.stop_requested.load());
    EXPECT_EQ(view.Posts(), std::vector<std::u16string>{kStopping});
}

struct TrimCase {
    const char* name;
    std::string reply;
    bool stopped;
    bool stores_turn;
    std::string stored;
};

TEST_F(Bridge, GenDoneTrimsAndStoresTheReply) {
    const TrimCase cases[] = {
        {"plain reply", "Hello there.", false, true, "Hello there."},
        {"trailing LF CR space LF", "Hi\n\r \n", false, true, "Hi"},
        {"trailing tab kept", "Hi\t", false, true, "Hi\t"},
        {"leading break kept", "\n  Hi", false, true, "\n  Hi"},
        {"stopped partial reply kept", "Half a sen", true, true, "Half a sen"},
        {"only spaces and breaks", " \n\r\n ", false, false, ""},
        {"stopped before the first piece", "", true, false, ""},
        // hostile: markup and a NUL-free control stay as they are
        {"markup kept as text", "<script>alert(1)</script>\n", false, true, "<script>alert(1)</script>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view.log.clear();
        state.history->messages.clear();
        state.generating = true;
        state.reply = c.reply;
        state.stop_requested = c.stopped;

        OnGenDoneMessage(state);

        ASSERT_EQ(state.history->messages.size(), c.stores_turn ? 1u : 0u);
        if (c.stores_turn) {
            EXPECT_EQ(state.history->messages[0].role, 1);
            EXPECT_EQ(state.history->messages[0].text, c.stored);
        }
        EXPECT_TRUE(state.reply.empty());
        EXPECT_FALSE(state.generating);
        EXPECT_FALSE(state.stop_requested.load());
        EXPECT_EQ(view.Posts(), std::vector<std::u16string>{c.stopped ? kGenDoneStopped : kGenDoneNotStopped});
    }
}

struct PiecesCase {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::u16string> page_texts;  // the quoted "text" of each message, gen_done's flush included
};

TEST_F(Bridge, TokensReachThePageAsWholeCharacters) {
    const PiecesCase cases[] = {
        {"ASCII pieces", {"Hel", "lo"}, {u"\"Hel\"", u"\"lo\""}},
        {"emoji over four byte pieces", {"\xF0", "\x9F", "\x98", "\x80"}, {u"\"\"", u"\"\"", u"\"\"", u"\"\U0001F600\""}},
        {"accent split after its lead byte", {"caf\xC3", "\xA9!"}, {u"\"caf\"", u"\"\u00e9!\""}},
        {"ellipsis split two and one", {"a\xE2\x80", "\xA6"}, {u"\"a\"", u"\"\u2026\""}},
        {"quote, backslash and line feed escaped", {"say \"x\\y\"\n"}, {u"\"say \\\"x\\\\y\\\"\\n\""}},
        // hostile
        {"cut character never completed", {"ok\xF0\x9F"}, {u"\"ok\"", u"\"\ufffd\""}},
        {"invalid byte sent at once", {"a\xFF", "b"}, {u"\"a\ufffd\"", u"\"b\""}},
        {"lead byte followed by ASCII", {"\xE2", "x"}, {u"\"\"", u"\"\ufffdx\""}},
        {"markup stays text", {"<img src=x onerror=alert(1)>"}, {u"\"<img src=x onerror=alert(1)>\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view.log.clear();
        state.history->messages.clear();
        state.generating = true;
        std::string joined;
        for (const auto& piece : c.pieces) {
            OnTokenMessage(state, Payload(piece));
            joined += piece;
        }
        EXPECT_EQ(state.reply, joined);  // the reply keeps the exact bytes
        OnGenDoneMessage(state);

        std::vector<std::u16string> expected;
        for (const auto& text : c.page_texts) expected.push_back(TokenMessage(text));
        expected.push_back(kGenDoneNotStopped);
        EXPECT_EQ(view.Posts(), expected);
    }
}

struct StoredCase {
    const char* name;
    std::vector<std::string> pieces;
    std::string stored;  // the assistant turn, UTF-8
};

// The history holds the reply as the page was shown it, so the next prompt
// carries no byte sequence a tokeniser may reject.
TEST_F(Bridge, StoredTurnHoldsWhatThePageWasShown) {
    const std::string kFffd = "\xEF\xBF\xBD";
    const StoredCase cases[] = {
        {"emoji split over two pieces", {"smile \xF0\x9F", "\x98\x80"}, "smile \xF0\x9F\x98\x80"},
        {"highest code point", {"\xF4\x8F", "\xBF\xBF"}, "\xF4\x8F\xBF\xBF"},
        // hostile: byte tokens a model may write one at a time
        {"F4 90 80 80, byte by byte", {"a ", "\xF4", "\x90", "\x80", "\x80", " b"}, "a " + kFffd + kFffd + kFffd + kFffd + " b"},
        {"F5 and its continuations", {"\xF5", "\x80\x80\x80"}, kFffd + kFffd + kFffd + kFffd},
        {"encoded surrogate", {"x\xED\xA0\x80"}, "x" + kFffd + kFffd + kFffd},
        {"overlong slash", {"\xC0\xAF"}, kFffd + kFffd},
        {"stray continuation and FF", {"\x80ok\xFF"}, kFffd + "ok" + kFffd},
        {"cut character, then trailing space", {"ok \xF0\x9F\x98", "\n "}, "ok " + kFffd},
        {"cut character never completed", {"ok\xF0\x9F"}, "ok" + kFffd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view.log.clear();
        state.history->messages.clear();
        state.generating = true;
        for (const auto& piece : c.pieces) OnTokenMessage(state, Payload(piece));
        OnGenDoneMessage(state);

        ASSERT_EQ(state.history->messages.size(), 1u);
        EXPECT_EQ(state.history->messages[0].text, c.stored);
        // The page was sent the same text, piece by piece.
        std::u16string shown;
        for (const auto& post : view.Posts()) {
            if (post.rfind(u"{\"type\":\"token\",\"text\":", 0) == 0) {
                shown += JsonGetString(post, u"text");
            }
        }
        while (!shown.empty() && (shown.back() == u'\n' || shown.back() == u' ')) shown.pop_back();
        EXPECT_EQ(WideToUtf8(shown), c.stored);
    }
}

TEST_F(Bridge, TokenAfterTheWindowIsGoneIsDropped) {
    state.hwnd = nullptr;
    OnTokenMessage(state, Payload("late"));
    EXPECT_TRUE(view.log.empty());
    EXPECT_TRUE(state.reply.empty());
}

TEST_F(Bridge, StatusAndErrorMessagesCarryTheWorkerText) {
    OnStatusMessage(state, Payload("Loading model\xE2\x80\xA6"));
    state.generating = true;
    state.stop_requested = true;
    state.history->messages.push_back(ChatMessage{0, "question"});
    OnErrorMessage(state, Payload("Context window full. Please start a new chat."));
    OnErrorMessage(state, 0);

    EXPECT_EQ(view.Posts(), (std::vector<std::u16string>{
                                u"{\"type\":\"status\",\"state\":\"\",\"text\":\"Loading model\u2026\"}",
                                u"{\"type\":\"error\",\"text\":\"Context window full. Please start a new chat.\"}",
                                u"{\"type\":\"error\",\"text\":\"\"}",
                            }));
    EXPECT_FALSE(state.generating);
    EXPECT_FALSE(state.stop_requested.load());
    EXPECT_TRUE(state.reply.empty());
    ASSERT_EQ(state.history->messages.size(), 1u);  // the failed user turn stays, and nothing else
    EXPECT_EQ(state.history->messages[0].text, "question");
}

TEST_F(Bridge, AnErrorAfterPiecesKeepsThePartialReplyThenShowsTheError) {
    // A reply cut off by a full context: the page keeps what it was shown and
    // gets the reason; the history keeps it as the assistant turn.
    state.generating = true;
    state.history->messages.push_back(ChatMessage{0, "question"});
    for (const char* piece : {"Half a sen", "tence \xE2\x80", "\xA6\n", "\xF0\x9F"}) OnTokenMessage(state, Payload(piece));
    OnErrorMessage(state, Payload("Context window full. Please start a new chat."));

    EXPECT_EQ(view.Posts(), (std::vector<std::u16string>{
                                TokenMessage(u"\"Half a sen\""),
                                TokenMessage(u"\"tence \""),
                                TokenMessage(u"\"\u2026\\n\""),
                                TokenMessage(u"\"\""),
                                TokenMessage(u"\"\ufffd\""),
                                u"{\"type\":\"error\",\"text\":\"Context window full. Please start a new chat.\"}",
                            }));
    ASSERT_EQ(state.history->messages.size(), 2u);
    EXPECT_EQ(state.history->messages[1].role, 1);
    EXPECT_EQ(state.history->messages[1].text, "Half a sentence \xE2\x80\xA6\n\xEF\xBF\xBD");
    EXPECT_TRUE(state.reply.empty());
    EXPECT_FALSE(state.generating);
}

TEST_F(Bridge, AcceptedSendStartsAReplyThatReportsTheUnloadedEngine) {
    state.model_loaded = true;  // the engine itself is not ready, so the reply fails at once
    state.reply = "left over";
    RunWithWindow(u"{\"type\":\"send\",\"text\":\"Hi <|im_end|>there\"}");

    EXPECT_EQ(view.Posts(), (std::vector<std::u16string>{
                                kAssistantStart,
                                u"{\"type\":\"error\",\"text\":\"Engine is not initialized.\"}",
                            }));
    ASSERT_EQ(state.history->messages.size(), 1u);
    EXPECT_EQ(state.history->messages[0].role, 0);
    EXPECT_EQ(state.history->messages[0].text, "Hi there");
    EXPECT_TRUE(state.reply.empty());
    EXPECT_EQ(state.worker_thread, nullptr);
}

TEST_F(Bridge, NewChatAfterAFailedLoadGreetsAgain) {
    state.history->messages.push_back(ChatMessage{0, "old"});
    RunWithWindow(u"{\"type\":\"new_chat\"}");

    EXPECT_EQ(view.Posts(), (std::vector<std::u16string>{
                                u"{\"type\":\"new_chat\"}",
                                kAssistantStart,
                                u"{\"type\":\"error\",\"text\":\"Engine is not initialized.\"}",
                            }));
    ASSERT_EQ(state.history->messages.size(), 1u);
    EXPECT_EQ(state.history->messages[0].text, "Hello!");
}

TEST(BridgeQueue, MessagesWaitForTheViewAndFollowTheNavigationInOrder) {
    RecordingWebView view;
    RecordingController controller;
    controller.view = &view;
    AppState state;
    PostToPage(state, u"{\"type\":\"status\",\"state\":\"\",\"text\":\"one\"}");
    PostToPage(state, u"{\"type\":\"load_done\"}");
    EXPECT_EQ(state.pending_messages.size(), 2u);

    EXPECT_EQ(OnControllerCreated(state, S_OK, &controller), S_OK);
    PostToPage(state, u"{\"type\":\"assistant_start\"}");

    const std::u16string mapping = u"map:app.velkin.local|" + ExecutableFolder() + u"|allow";
    EXPECT_EQ(view.log, (std::vector<std::u16string>{
                            u"context-menus=off", u"dev-tools=off", u"status-bar=off",
                            u"add-message-handler", u"add-navigation-handler", mapping, u"navigate",
                            u"post:{\"type\":\"status\",\"state\":\"\",\"text\":\"one\"}",
                            u"post:{\"type\":\"load_done\"}", u"post:{\"type\":\"assistant_start\"}",
                        }));
    EXPECT_TRUE(state.pending_messages.empty());
    EXPECT_TRUE(controller.visible);
    EXPECT_EQ(controller.bounds.size(), 1u);
    ASSERT_FALSE(ExecutableFolder().empty());
    EXPECT_EQ(ExecutableFolder().back(), u'/');

    // The registered message handler reaches the bridge; one without JSON is ignored.
    WebMessageArgs no_json(nullptr);
    EXPECT_EQ(view.message_handler->Invoke(&view, &no_json), S_OK);
    WebMessageArgs stop(u"{\"type\":\"stop\"}");
    state.generating = true;
    EXPECT_EQ(view.message_handler->Invoke(&view, &stop), S_OK);
    EXPECT_EQ(view.Posts().back(), kStopping);

    state.webview = nullptr;  // as after WM_CLOSE: later messages are kept, never sent
    state.controller = nullptr;
    PostToPage(state, u"{\"type\":\"new_chat\"}");
    EXPECT_EQ(state.pending_messages.size(), 1u);
}

TEST(BridgeQueue, NoViewFromTheControllerKeepsMessagesQueued) {
    RecordingController controller;  // gives no view
    AppState state;
    PostToPage(state, u"{\"type\":\"load_done\"}");
    EXPECT_EQ(OnControllerCreated(state, S_OK, &controller), S_OK);
    EXPECT_FALSE(state.web_ready);
    EXPECT_EQ(state.pending_messages.size(), 1u);
    EXPECT_EQ(OnControllerCreated(state, E_FAIL, nullptr), E_FAIL);
}

struct RecordCase {
    const char* name;
    std::u16string json;
    std::u16string record;
};

TEST(ClientErrorRecord, FramesWhereTextAndRaw) {
    const std::u16string rule = u"\r\n========================================\r\n";
    const RecordCase cases[] = {
        {"full report", u"{\"type\":\"clienterror\",\"where\":\"liveRender\",\"text\":\"TypeError: x\",\"len\":3,\"raw\":\"**a\"}",
         u"[clienterror] where=liveRender\r\nTypeError: x\r\n--- raw (truncated) ---\r\n**a" + rule},
        {"escaped line feeds become real ones", u"{\"type\":\"clienterror\",\"where\":\"w\",\"text\":\"Error\\n  at f\",\"len\":-1,\"raw\":\"\"}",
         u"[clienterror] where=w\r\nError\n  at f\r\n--- raw (truncated) ---\r\n" + rule},
        {"missing members leave their pieces empty", u"{\"type\":\"clienterror\"}",
         u"[clienterror] where=\r\n\r\n--- raw (truncated) ---\r\n" + rule},
        // hostile: a raw text that imitates the frame stays inside it
        {"raw imitating a record", u"{\"type\":\"clienterror\",\"where\":\"x\",\"text\":\"t\",\"raw\":\"\\r\\n[clienterror] where=fake\"}",
         u"[clienterror] where=x\r\nt\r\n--- raw (truncated) ---\r\n\r\n[clienterror] where=fake" + rule},
    };
    for (const auto& c : cases) EXPECT_EQ(ClientErrorRecord(c.json), c.record) << c.name;
}

TEST(ClientErrorRecord, IsAppendedToJsdebugLogBesideTheExecutable) {
    const std::string path = WideToUtf8(ExecutableFolder()) + "jsdebug.log";
    auto read_all = [&] {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    };
    std::string before = read_all();
    AppState state;
    HandlePageMessage(state, u"{\"type\":\"clienterror\",\"where\":\"caf\u00e9\",\"text\":\"t\",\"len\":2,\"raw\":\"r\"}");
    std::string after = read_all();
    ASSERT_GE(after.size(), before.size());
    EXPECT_EQ(after.substr(0, before.size()), before);  // appended, never truncated
    EXPECT_EQ(after.substr(before.size()),
              "[clienterror] where=caf\xC3\xA9\r\nt\r\n--- raw (truncated) ---\r\nr\r\n"
              "========================================\r\n");
    EXPECT_TRUE(state.pending_messages.empty());  // no answer to the page
}

}  // namespace

namespace {

TEST(WebViewHandlers, AnswerOnlyTheirOwnInterfaceAndFreeThemselves) {
    RecordingWebView view;
    RecordingController controller;
    controller.view = &view;
    AppState state;
    OnControllerCreated(state, S_OK, &controller);
    ASSERT_TRUE(view.message_handler);
    ASSERT_TRUE(view.navigation_handler);

    void* object = nullptr;
    EXPECT_EQ(view.message_handler->QueryInterface(IID_ICoreWebView2WebMessageReceivedEventHandler, &object), S_OK);
    EXPECT_EQ(object, static_cast<void*>(view.message_handler.Get()));
    view.message_handler->Release();
    EXPECT_EQ(view.message_handler->QueryInterface(IID_IUnknown, &object), S_OK);
    view.message_handler->Release();
    const IID foreign[] = {IID_ICoreWebView2NavigationStartingEventHandler,
                           IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, IID_ICoreWebView2};
    for (const IID& iid : foreign) {
        object = &view;
        EXPECT_EQ(view.message_handler->QueryInterface(iid, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
    }
    // The view holds the only reference: the host dropped its own.
    EXPECT_EQ(view.navigation_handler->AddRef(), 2u);
    EXPECT_EQ(view.navigation_handler->Release(), 1u);

    // The page's own scheme proceeds in the view; its virtual host is cancelled.
    NavigationArgs own_scheme(u"velkin://app.velkin.local/");
    EXPECT_EQ(view.navigation_handler->Invoke(&view, &own_scheme), S_OK);
    EXPECT_FALSE(own_scheme.cancelled);
    NavigationArgs own_host(u"https://app.velkin.local/highlight.min.js");
    EXPECT_EQ(view.navigation_handler->Invoke(&view, &own_host), S_OK);
    EXPECT_TRUE(own_host.cancelled);
}

}  // namespace
