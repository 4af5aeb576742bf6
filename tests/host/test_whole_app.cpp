// The whole program under Xvfb: the test build of Velkin (its real entry
// point, with the layer's test hook) runs in a folder of its own beside a
// generated tiny model, and the page is driven and read through the hook.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app_session.h"
#include "test_hook_client.h"
#include "test_limits.h"
#include "tiny_model.h"

namespace {

const int kLimitMs = EventLimitMs();

const std::string kWarningSign = "\xE2\x9A\xA0\xEF\xB8\x8F  ";  // the error row's sign and two spaces
// A reply of one byte per token, under the greeting's 120-token limit.
const std::string kGreeting =
    "Hi \xF0\x9F\x98\x80 I am **Tamsy**.\n\n- one\n- [docs](https://example.com/)\n\n```js\nlet a = 1;\n```";

// Page facts, as scripts.
const std::string kStatus = "document.getElementById('status-text').textContent";
const std::string kControlsIdle =
    "(!document.getElementById('input').disabled && !document.getElementById('send-btn').disabled && "
    "!document.getElementById('new-chat-btn').disabled && document.getElementById('stop-btn').hidden)";
const std::string kGenerating = "!document.getElementById('stop-btn').hidden";
const std::string kRowCount = "document.querySelectorAll('#messages-inner .msg-row').length";
const std::string kUserRowCount = "document.querySelectorAll('#messages-inner .msg-row.user').length";
const std::string kLastBubble = "[...document.querySelectorAll('#messages-inner .bubble.assistant')].pop()";
// What the page shows, for failure messages.
const std::string kReport =
    "{status: " + kStatus + ", idle: " + kControlsIdle +
    ", rows: [...document.querySelectorAll('#messages-inner .msg-row')].map(r => r.className + ': ' + "
    "r.textContent.slice(0, 200))}";

std::string Quote(const std::string& text) { return TestHookQuote(text); }

class WholeApp : public ::testing::Test {
protected:
    AppSession session;
    std::string piped_model;
    std::thread feeder;
    std::atomic<bool> feeding_done{false};

    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

    // A passing test leaves nothing behind; a failing one keeps its folder to look at.
    void TearDown() override {
        EndSession(&session);
        feeding_done = true;
        if (feeder.joinable()) feeder.join();
        if (!HasFailure()) RemoveAppFolder(&session);
    }

    // A fresh folder with the program; the model is up to the test.
    bool Prepare(const std::string& program = VELKIN_TEST_APP) {
        std::string error;
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        if (!PrepareAppFolder(name, program, &session, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }
    bool WriteModel(const TinyModel& model) {
        std::string error;
        if (!WriteTinyModel(model, session.folder + "model.gguf", &error)) {
            ADD_FAILURE() << "cannot write the tiny model: " << error;
            return false;
        }
        return true;
    }
    bool Start() {
        std::string error;
        if (!StartApp(&session, kLimitMs, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return WaitFor("document.getElementById('messages-inner') !== null", "the page to load", kLimitMs);
    }
    bool WaitFor(const std::string& condition, const std::string& what, int timeout_ms = kLimitMs) {
        std::string shown;
        if (WaitInPage(&session, condition, timeout_ms, kReport, &shown)) return true;
        ADD_FAILURE() << "timed out after " << timeout_ms << " ms waiting for " << what << "\npage: " << shown;
        return false;
    }
    std::string Eval(const std::string& script) {
        std::string value;
        if (!EvalInPage(&session, script, &value)) ADD_FAILURE() << "script failed: " << script << "\n" << value;
        return value;
    }
    // The page value of `expression` equals `text`; otherwise a failure that shows both.
    void ExpectPageText(const std::string& expression, const std::string& text) {
        std::string equal = Eval("return " + expression + " === " + Quote(text) + ";");
        EXPECT_EQ(equal, "true") << expression << " is " << Eval("return " + expression + ";") << ", expected "
                                 << Quote(text);
    }
    void Send(const std::string& text) {
        Eval("document.getElementById('input').value = " + Quote(text) +
             "; document.getElementById('send-btn').click(); return true;");
    }
    void Snapshot(const std::string& name) {
        // Rows fade in; endless animations (the thinking dots, the cursor) never finish.
        WaitFor("document.getAnimations().every(a => a.playState !== 'running' || "
                "a.effect.getComputedTiming().iterations === Infinity)",
                "the rows' entrance animations to finish");
        std::string folder = VELKIN_SCREENSHOT_DIR;
        mkdir(folder.c_str(), 0755);
        EXPECT_TRUE(SnapshotPage(&session, folder + "/" + name + ".png")) << "snapshot " << name;
    }
    int CloseAndWait() {
        EXPECT_TRUE(CloseApp(&session));
        return WaitForExit(&session, kLimitMs);
    }
    // The addresses handed to the default browser, once `count` have arrived (or at the limit).
    std::string WaitForOpenedAddresses(int count) {
        std::string opened;
        for (int waited = 0; waited < kLimitMs; waited += 50) {
            opened = ReadFileBytes(session.folder + "opened-addresses.txt");
            if (std::count(opened.begin(), opened.end(), '\n') >= count) break;
            usleep(50 * 1000);
        }
        return opened;
    }
    // model.gguf as a pipe: the model load blocks until FeedModelPipe.
    bool MakeModelPipe() {
        std::string error;
        if (!WriteTinyModel(ScriptedReply("Hi."), session.folder + "fed-model.gguf", &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        piped_model = ReadFileBytes(session.folder + "fed-model.gguf");
        return mkfifo((session.folder + "model.gguf").c_str(), 0644) == 0;
    }
    // Writes the model into the pipe as often as the loader opens it, until TearDown.
    void FeedModelPipe() {
        std::string path = session.folder + "model.gguf";
        feeder = std::thread([this, path] {
            while (!feeding_done) {
                int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);  // fails until a reader has it open
                if (fd < 0) {
                    usleep(20 * 1000);
                    continue;
                }
                fcntl(fd, F_SETFL, 0);
                ssize_t written = write(fd, piped_model.data(), piped_model.size());
                (void)written;  // a reader that stops early may open the pipe again
                close(fd);
            }
        });
    }
    bool IsRunning() { return session.pid > 0 && waitpid(session.pid, nullptr, WNOHANG) == 0; }
};

TEST_F(WholeApp, GreetsAnswersStartsANewChatAndClosesCleanly) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(ScriptedReply(kGreeting)));
    ASSERT_TRUE(Start());

    // The greeting streams in and renders as markdown; its emoji came as four byte tokens.
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 1 && " + kControlsIdle, "the greeting"));
    std::string window;
    EXPECT_TRUE(DescribeWindow(&session, &window));
    EXPECT_NE(window.find("\"visible\":true,\"title\":\"Velkin 1.0\""), std::string::npos) << window;
    ExpectPageText(kLastBubble + "._rawText", kGreeting);
    ExpectPageText(kLastBubble + ".querySelector('strong').textContent", "Tamsy");
    ExpectPageText(kLastBubble + ".querySelector('.code-block code').textContent", "let a = 1;");
    EXPECT_EQ(Eval("return " + kLastBubble + ".textContent.includes('\\uFFFD');"), "false");
    EXPECT_EQ(Eval("return document.getElementById('loading-state');"), "null");
    Snapshot("greeting");

    // A link in a reply goes to the default browser, not into the view.
    Eval(kLastBubble + ".querySelector('a').click(); return true;");
    EXPECT_EQ(WaitForOpenedAddresses(1), "https://example.com/\n");
    ASSERT_TRUE(WaitFor(kRowCount + " === 1", "the chat page to stay after a link click"));

    // A sent message is answered below it.
    Send("What can you do?");
    ASSERT_TRUE(WaitFor(kRowCount + " === 3 && " + kStatus + " === 'Ready' && " + kControlsIdle, "the reply"));
    ExpectPageText("document.querySelector('#messages-inner .msg-row.user .bubble').textContent", "What can you do?");
    ExpectPageText(kLastBubble + "._rawText", kGreeting);
    Snapshot("markdown-reply");

    // Dark theme.
    Eval("document.getElementById('theme-btn').click(); return true;");
    ExpectPageText("document.documentElement.getAttribute('data-theme')", "dark");
    Snapshot("dark-theme");

    // New Chat forgets the conversation and greets again.
    Eval("document.getElementById('new-chat-btn').click(); return true;");
    ASSERT_TRUE(WaitFor(kRowCount + " === 1 && " + kUserRowCount + " === 0 && " + kStatus + " === 'Ready' && " +
                            kControlsIdle,
                        "the fresh greeting"));
    ExpectPageText(kLastBubble + "._rawText", kGreeting);

    EXPECT_EQ(CloseAndWait(), 0);
    std::string log = ReadFileBytes(session.folder + "velkin.log");
    EXPECT_NE(log.find("llama_model_loader"), std::string::npos) << "velkin.log: " << log.substr(0, 300);
}

TEST_F(WholeApp, StopEndsTheReplyAndKeepsWhatWasWritten) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(EndlessReply("la ")));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kControlsIdle, "the greeting to reach its limit"));

    // Record every status text, and press Stop as soon as the reply has a few tokens.
    Eval(R"(
        window.seenStatuses = [];
        const status = document.getElementById('status-text');
        new MutationObserver(() => {
            window.seenStatuses.push(status.textContent);
            const stop = document.getElementById('stop-btn');
            if (!window.stopPressed && !stop.hidden && / 3 tok$/.test(status.textContent)) {
                window.stopPressed = true;
                stop.click();
            }
        }).observe(status, {childList: true, characterData: true, subtree: true});
        return true;)");
    Send("Sing.");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Stopped' && " + kControlsIdle, "the stopped reply"));
    EXPECT_EQ(Eval("return window.seenStatuses.includes('Stopping\\u2026');"), "true")
        << Eval("return window.seenStatuses;");
    // What came before the stop stays: a start of the endless reply, well short of its limit.
    std::string kept = Eval("const text = " + kLastBubble + "._rawText; "
                            "return text.length >= 3 && text.length < 3 * 2048 && 'la '.repeat(2048).startsWith(text);");
    EXPECT_EQ(kept, "true") << Eval("return " + kLastBubble + "._rawText;");
    EXPECT_EQ(Eval("return " + kRowCount + ";"), "3");  // greeting, question, the partial reply

    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, ClosingDuringAReplyStopsItAndExitsWithZero) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(EndlessReply("la ")));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kControlsIdle, "the greeting to reach its limit"));
    Send("Sing.");
    ASSERT_TRUE(WaitFor(kGenerating + " && / tok$/.test(" + kStatus + ")", "the reply to stream"));
    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, AMessageTooLongForTheContextIsRefusedAndTheProgramStaysUsable) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(ScriptedReply("Hi.")));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kControlsIdle, "the greeting"));

    // A pasted blob with no spaces, far beyond any context: refused, not tokenised for minutes.
    const std::string kTooLong = "The conversation is too long for the context window. Please start a new chat.";
    Eval("document.getElementById('input').value = 'QUJD'.repeat(250000); "
         "document.getElementById('send-btn').click(); return true;");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Error' && " + kControlsIdle, "the refusal"));
    ExpectPageText(kLastBubble + ".textContent", kWarningSign + kTooLong);

    // The turn stays in the conversation, so a later send is refused as well, as quickly.
    Send("And now?");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Error' && " + kControlsIdle + " && " + kUserRowCount + " === 2",
                        "the second refusal"));
    ExpectPageText(kLastBubble + ".textContent", kWarningSign + kTooLong);
    Snapshot("too-long-refused");

    // A new chat forgets it and the model answers again.
    Eval("document.getElementById('new-chat-btn').click(); return true;");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 1 && " + kControlsIdle, "the fresh greeting"));
    Send("Hello?");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 3 && " + kControlsIdle, "the reply"));
    ExpectPageText(kLastBubble + "._rawText", "Hi.");
    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, ClosingDuringTheLoadWaitsForItAndExitsWithZero) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(MakeModelPipe());
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Loading model\\u2026'", "the loading status"));
    EXPECT_TRUE(CloseApp(&session));

    // The hidden window waits for the load to end.
    usleep(5 * kQuietWindowMs * 1000);
    EXPECT_TRUE(IsRunning()) << "the program ended while its model was still loading";
    FeedModelPipe();
    EXPECT_EQ(WaitForExit(&session, kLimitMs), 0);
}

TEST_F(WholeApp, NewChatWhileTheModelLoadsIsIgnored) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(MakeModelPipe());
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Loading model\\u2026'", "the loading status"));

    // The page keeps New Chat disabled while loading; a message sent anyway must not reset the engine.
    Eval("window.chrome.webview.postMessage({type: 'new_chat'}); return true;");
    usleep(3 * kQuietWindowMs * 1000);
    ExpectPageText(kStatus, "Loading model\u2026");
    EXPECT_EQ(Eval("return " + kRowCount + ";"), "0");

    // The load then ends in its one outcome row, whatever the pipe lets the library read.
    FeedModelPipe();
    ASSERT_TRUE(WaitFor(kRowCount + " === 1 && " + kControlsIdle, "the load's outcome"));
    usleep(kQuietWindowMs * 1000);
    EXPECT_EQ(Eval("return " + kRowCount + ";"), "1");
    EXPECT_EQ(Eval("return " + kLastBubble + ".textContent.includes('Engine is not initialized');"), "false");
    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, NoWindowEndsWithItsMessageAndExitCodeOne) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(ScriptedReply("Hi.")));
    std::string error;
    ASSERT_TRUE(StartAppWithoutDisplay(&session, &error)) << error;
    EXPECT_EQ(WaitForExit(&session, kLimitMs), 1);
    std::string shown = ReadFileBytes(session.folder + "stderr.txt");
    EXPECT_NE(shown.find("Failed to create the application window."), std::string::npos) << shown;
    struct stat log_info;
    EXPECT_NE(stat((session.folder + "velkin.log").c_str(), &log_info), 0) << "no window, yet the model loaded";
}

// The OpenMP runtime prints the wait it read as it loads (OMP_DISPLAY_ENV), once
// per start of the process: the spin counts it printed, in order.
std::vector<std::string> DisplayedSpinCounts(const std::string& shown) {
    std::vector<std::string> counts;
    const std::string key = "GOMP_SPINCOUNT = '";
    for (size_t at = shown.find(key); at != std::string::npos; at = shown.find(key, at + 1)) {
        const size_t start = at + key.size();
        counts.push_back(shown.substr(start, shown.find('\'', start) - start));
    }
    return counts;
}

struct OpenMpWaitCase {
    const char* name;
    const char* wait_policy;  // the user's, or "" for none
    const char* spin_count;   // the user's, or "" for none
    std::vector<std::string> spin_counts_read;  // by each start of the process; "short": the program's own
};

// Started from a desktop, with no wait of the user's, the program's decoding
// threads must not spin for long (beside busy programs that slows replies tens
// of times); a wait the user set stands, and the program starts only once.
TEST_F(WholeApp, TheLibraryWaitsBrieflyUnlessTheUserChoseAWait) {
    const OpenMpWaitCase cases[] = {
        {"a plain desktop environment", "", "", {"300000", "short"}},
        {"the user's wait policy", "ACTIVE", "", {"30000000000"}},
        {"the user's passive wait", "PASSIVE", "", {"0"}},
        {"the user's spin count", "", "12345", {"12345"}},
    };
    for (const OpenMpWaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Prepare(VELKIN_APP));
        session.environment = {{"OMP_WAIT_POLICY", c.wait_policy}, {"GOMP_SPINCOUNT", c.spin_count},
                               {"OMP_DISPLAY_ENV", "VERBOSE"}};
        std::string error;
        ASSERT_TRUE(StartAppWithoutDisplay(&session, &error)) << error;
        EXPECT_EQ(WaitForExit(&session, kLimitMs), 1);
        const std::string shown = ReadFileBytes(session.folder + "stderr.txt");
        EXPECT_NE(shown.find("Failed to create the application window."), std::string::npos) << shown;
        const std::vector<std::string> counts = DisplayedSpinCounts(shown);
        ASSERT_EQ(counts.size(), c.spin_counts_read.size()) << shown;
        for (size_t i = 0; i < counts.size(); ++i) {
            if (c.spin_counts_read[i] == "short") {
                // Timed on the processor, so only its range is known: the runtime's default or less.
                EXPECT_GE(std::stoll(counts[i]), 1000) << shown;
                EXPECT_LT(std::stoll(counts[i]), 300000) << shown;
            } else {
                EXPECT_EQ(counts[i], c.spin_counts_read[i]) << shown;
            }
        }
        EndSession(&session);
        RemoveAppFolder(&session);
    }
}

struct BadModelCase {
    const char* name;
    const char* kind;  // "none", "truncated", "text", "folder"
    const char* error;
    bool writes_log;
};

TEST_F(WholeApp, ModelProblemsEndInAnErrorRowWithControlsEnabled) {
    const BadModelCase cases[] = {
        {"no model.gguf", "none",
         "Could not find model.gguf. Place a GGUF model file next to Velkin.exe and restart.", false},
        {"a truncated model", "truncated",
         "The model could not be loaded. This file may not be a supported GGUF model.", true},
        {"a text file", "text", "The model could not be loaded. This file may not be a supported GGUF model.",
         true},
        {"a folder named model.gguf", "folder",
         "The model could not be loaded. This file may not be a supported GGUF model.", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session = AppSession();
        ASSERT_TRUE(Prepare());
        std::string model_path = session.folder + "model.gguf";
        std::string kind = c.kind;
        if (kind == "truncated") {
            ASSERT_TRUE(WriteModel(ScriptedReply("Hi.")));
            ASSERT_EQ(truncate(model_path.c_str(), 2000), 0);
        } else if (kind == "text") {
            FILE* file = fopen(model_path.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            fputs("<html>not a model</html>\n", file);
            fclose(file);
        } else if (kind == "folder") {
            ASSERT_EQ(mkdir(model_path.c_str(), 0755), 0);
        }
        ASSERT_TRUE(Start());

        ASSERT_TRUE(WaitFor(kStatus + " === 'Error' && " + kControlsIdle, "the error row"));
        ExpectPageText(kLastBubble + ".textContent", kWarningSign + c.error);
        EXPECT_EQ(Eval("return " + kRowCount + ";"), "1");
        if (kind == "none") Snapshot("error");

        // Sends are refused without an answer; a new chat finds no engine.
        Send("Hello?");
        Eval("document.getElementById('new-chat-btn').click(); return true;");
        ASSERT_TRUE(WaitFor(kStatus + " === 'Error' && " + kControlsIdle + " && " + kLastBubble +
                                ".textContent.includes('Engine is not initialized.')",
                            "the new chat's error"));
        EXPECT_EQ(Eval("return " + kUserRowCount + ";"), "0");

        EXPECT_EQ(CloseAndWait(), 0);
        struct stat log_info;
        EXPECT_EQ(stat((session.folder + "velkin.log").c_str(), &log_info) == 0, c.writes_log);
        EndSession(&session);
        if (!HasFailure()) RemoveAppFolder(&session);
    }
}

TEST_F(WholeApp, ClientErrorReportsAreAppendedToJsdebugLog) {
    ASSERT_TRUE(Prepare(VELKIN_TEST_APP_DEBUG_ERRORS));
    ASSERT_TRUE(WriteModel(ScriptedReply("Hi.")));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready'", "the greeting"));

    Eval("reportClientError('whole-app', 'line one\\nline two', 'raw **text**'); return true;");
    Eval("reportClientError('second', 'plain', ''); return true;");
    const std::string path = session.folder + "jsdebug.log";
    std::string log;
    for (int waited = 0; waited < kLimitMs && log.find("where=second") == std::string::npos; waited += 50) {
        usleep(50 * 1000);
        log = ReadFileBytes(path);
    }
    const std::string rule = "\r\n========================================\r\n";
    EXPECT_EQ(log.rfind("[clienterror] where=whole-app\r\nline one\nline two", 0), 0u) << log;
    EXPECT_NE(log.find("\r\n--- raw (truncated) ---\r\nraw **text**" + rule), std::string::npos) << log;
    EXPECT_NE(log.find(rule + "[clienterror] where=second\r\nplain\r\n--- raw (truncated) ---\r\n" + rule),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("len"), std::string::npos) << log;
    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, OwnAndLookAlikeAddressesDoNotReplaceThePage) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(ScriptedReply("Hi.")));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready'", "the greeting"));

    // The page's own virtual host is refused: no error page replaces the chat, nothing opens.
    const char* own_addresses[] = {"https://app.velkin.local/", "https://app.velkin.local/highlight.min.js?x#y"};
    for (const char* address : own_addresses) {
        SCOPED_TRACE(address);
        Eval("window.location.href = " + Quote(address) + "; return true;");
        usleep(3 * kQuietWindowMs * 1000);  // time for a navigation that must not happen
        EXPECT_TRUE(WaitFor("document.getElementById('messages-inner') !== null && " + kRowCount + " === 1",
                            "the chat page to stay"));
    }
    // Below, the first address opened outside must be the first look-alike: the refused ones opened nothing.
    const char* addresses[] = {"https://app.velkin.local.attacker.example/",
                               "https://app.velkin.local:x@attacker.example/", "http://app.velkin.local/"};
    // Each goes to the default browser, and the chat stays in the view.
    std::string expected;
    int n_opened = 0;
    for (const char* address : addresses) {
        SCOPED_TRACE(address);
        Eval("window.location.href = " + Quote(address) + "; return true;");
        expected += std::string(address) + "\n";
        EXPECT_EQ(WaitForOpenedAddresses(++n_opened), expected);
        EXPECT_TRUE(WaitFor("document.getElementById('messages-inner') !== null && " + kRowCount + " === 1",
                            "the chat page to stay"));
    }
    EXPECT_EQ(CloseAndWait(), 0);
}

// The width and height of a PNG file, from its header; {0, 0} when it is not one.
std::pair<int, int> PngSize(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    auto number = [&](size_t at) {
        int value = 0;
        for (size_t i = at; i < at + 4; i++) value = value * 256 + (unsigned char)bytes[i];
        return value;
    };
    return {number(16), number(20)};
}

TEST_F(WholeApp, ThePageFollowsTheWindowLargerAndSmallerAndStillAnswers) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(WriteModel(ScriptedReply("Hi.")));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kControlsIdle, "the greeting"));

    // Where the page's edges are: the viewport, the header, and the input's strip along the bottom.
    const std::string kGeometry =
        "['header', 'input-area', 'input-box'].reduce((shown, id) => { "
        "const r = document.getElementById(id).getBoundingClientRect(); "
        "return shown + ' ' + id + ' ' + [r.left, r.top, r.right, r.bottom].join(','); }, "
        "'viewport ' + innerWidth + ' x ' + innerHeight + ':')";
    auto fills = [](int width, int height) {
        std::string w = std::to_string(width), h = std::to_string(height);
        return "(() => { const header = document.getElementById('header').getBoundingClientRect();"
               " const area = document.getElementById('input-area');"
               " const box = document.getElementById('input-box').getBoundingClientRect();"
               " const strip = area.getBoundingClientRect();"
               " return innerWidth === " + w + " && innerHeight === " + h +
               " && header.left === 0 && header.right === " + w + " && strip.right === " + w +
               " && strip.bottom === " + h +
               " && box.right === " + w + " - parseFloat(getComputedStyle(area).paddingRight); })()";
    };
    std::string shown;
    EXPECT_TRUE(WaitInPage(&session, fills(860, 640), kLimitMs, kGeometry, &shown)) << "at the start: " << shown;

    struct SizeCase {
        int width;
        int height;
        const char* screenshot;
    };
    const SizeCase cases[] = {
        {1200, 850, "resized-larger"},
        {700, 500, "resized-smaller"},  // smaller than at the start
    };
    int n_rows = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screenshot);
        ASSERT_TRUE(ResizeAppWindow(&session, c.width, c.height));
        ASSERT_TRUE(WaitInPage(&session, fills(c.width, c.height), kLimitMs, kGeometry, &shown))
            << "the page did not fill " << c.width << " x " << c.height << ": " << shown;
        std::string window;
        EXPECT_TRUE(DescribeWindow(&session, &window));
        EXPECT_NE(window.find("\"width\":" + std::to_string(c.width) + ",\"height\":" + std::to_string(c.height)),
                  std::string::npos)
            << window;
        Snapshot(c.screenshot);
        EXPECT_EQ(PngSize(ReadFileBytes(std::string(VELKIN_SCREENSHOT_DIR) + "/" + c.screenshot + ".png")),
                  std::make_pair(c.width, c.height));

        // The page still answers at its new size.
        Send("Hello?");
        n_rows += 2;
        ASSERT_TRUE(WaitFor(kRowCount + " === " + std::to_string(n_rows) + " && " + kStatus + " === 'Ready' && " +
                                kControlsIdle,
                            "the reply"));
        ExpectPageText(kLastBubble + "._rawText", "Hi.");
    }
    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, AReplyOfBytesNoTokeniserReadsKeepsTheConversationGoing) {
    // A byte-level BPE model writes code points above U+10FFFF byte by byte. The
    // page shows U+FFFD for them, the history keeps the same, and every later
    // prompt, which holds that reply, is answered.
    ASSERT_TRUE(Prepare());
    TinyModel model = ScriptedReply("Hi \xF4\x90\x80\x80 and \xF5\x80\x80\x80!");
    model.vocabulary = TinyVocabulary::ByteLevelBpe;
    ASSERT_TRUE(WriteModel(model));
    ASSERT_TRUE(Start());
    const std::string shown = "Hi \uFFFD\uFFFD\uFFFD\uFFFD and \uFFFD\uFFFD\uFFFD\uFFFD!";
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 1 && " + kControlsIdle, "the greeting"));
    ExpectPageText(kLastBubble + "._rawText", shown);

    Send("What was that?");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 3 && " + kControlsIdle, "the reply"));
    ExpectPageText(kLastBubble + "._rawText", shown);
    Send("And again?");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 5 && " + kControlsIdle, "the next reply"));
    ExpectPageText(kLastBubble + "._rawText", shown);
    EXPECT_EQ(CloseAndWait(), 0);
}

TEST_F(WholeApp, AReplyCutOffByAFullContextSaysSo) {
    // The greeting (a 341-token prompt and 120 tokens) fits in 1024 tokens; the
    // reply to the next message, which never ends by itself, fills the rest.
    ASSERT_TRUE(Prepare());
    TinyModel model = EndlessReply("la ");
    model.n_ctx_train = 1024;
    ASSERT_TRUE(WriteModel(model));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 1 && " + kControlsIdle, "the greeting"));

    Send("Sing.");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Error' && " + kControlsIdle, "the reply to fill the context"));
    // Greeting, question, the partial reply and, below it, why it stopped.
    EXPECT_EQ(Eval("return " + kRowCount + ";"), "4");
    const std::string partial = "[...document.querySelectorAll('#messages-inner .bubble.assistant')].slice(-2)[0]._rawText";
    EXPECT_EQ(Eval("const text = " + partial + "; return text.length > 120 && 'la '.repeat(1024).startsWith(text);"),
              "true")
        << Eval("return " + partial + ";");
    ExpectPageText(kLastBubble + ".textContent", kWarningSign + "Context window full. Please start a new chat.");
    Snapshot("context-full");

    // A new chat forgets it and greets again.
    Eval("document.getElementById('new-chat-btn').click(); return true;");
    ASSERT_TRUE(WaitFor(kStatus + " === 'Ready' && " + kRowCount + " === 1 && " + kUserRowCount + " === 0 && " +
                            kControlsIdle,
                        "the fresh greeting"));
    std::string greeting;
    for (int i = 0; i < 40; ++i) greeting += "la ";  // 120 tokens, one byte each
    ExpectPageText(kLastBubble + "._rawText", greeting);
    EXPECT_EQ(CloseAndWait(), 0);
}

}  // namespace
