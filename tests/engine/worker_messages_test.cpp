// Texts riding in worker messages, and the velkin-tinymodel command line that
// other folders' tests use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "engine_test_support.h"
#include "executable_child.h"

// Text copies are made with the non-throwing new[]; while a test watches, this
// thread's copies are listed until delete[] frees them.
namespace {
constexpr int kMaxWatched = 16;
thread_local bool watching = false;
thread_local void* unfreed[kMaxWatched] = {};
thread_local int n_made = 0;

int UnfreedCopies() {
    int n = 0;
    for (void* copy : unfreed) n += copy != nullptr;
    return n;
}
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    void* memory = std::malloc(size ? size : 1);
    if (watching && memory && n_made < kMaxWatched) unfreed[n_made++] = memory;
    return memory;
}
void operator delete[](void* memory) noexcept {
    for (void*& copy : unfreed) {
        if (copy == memory) copy = nullptr;
    }
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept { operator delete[](memory); }

namespace {

TEST(WorkerMessages, TextsArriveAsCopiesUpToTheirFirstNul) {
    MessageLog log;
    const char with_nul[] = "ab\0cd";
    const std::string long_text(100000, 'q');
    PostTextMessage(log.hwnd, WM_APP_STATUS, "Loading model\xE2\x80\xA6");
    PostTextMessage(log.hwnd, WM_APP_TOKEN, "");
    PostTextMessage(log.hwnd, WM_APP_TOKEN, with_nul);
    PostTextMessage(log.hwnd, WM_APP_TOKEN, "\xF0\x9F");  // half a character stays as it is
    PostTextMessage(log.hwnd, WM_APP_ERROR, long_text.c_str());
    PostTextMessage(log.hwnd, WM_APP_TOKEN, nullptr);
    log.Drain();
    ASSERT_EQ(log.received.size(), 6u);
    EXPECT_EQ(MessagesOf(log.received),
              (std::vector<UINT>{WM_APP_STATUS, WM_APP_TOKEN, WM_APP_TOKEN, WM_APP_TOKEN, WM_APP_ERROR, WM_APP_TOKEN}));
    EXPECT_EQ(log.received[0].text, "Loading model\xE2\x80\xA6");
    EXPECT_TRUE(log.received[1].has_text);
    EXPECT_EQ(log.received[1].text, "");
    EXPECT_EQ(log.received[2].text, "ab");
    EXPECT_EQ(log.received[3].text, "\xF0\x9F");
    EXPECT_EQ(log.received[4].text, long_text);
    EXPECT_TRUE(log.received[5].has_text);
}

TEST(WorkerMessages, PostingToAWindowThatIsGoneDoesNothing) {
    HWND gone = nullptr;
    {
        MessageLog log;
        gone = log.hwnd;
    }
    watching = true;
    PostTextMessage(gone, WM_APP_ERROR, "nobody listens");
    PostPiece(gone, "piece");
    watching = false;
    EXPECT_EQ(n_made, 2) << "one copy per text";
    EXPECT_EQ(UnfreedCopies(), 0) << "no receiver will ever free them";
}

TEST(TinyModelCommandLine, WritesModelsTheEngineRepliesWith) {
    TempFolder folder;
    const std::string model = folder.File("model.gguf");
    const struct {
        std::vector<std::string> arguments;
        int exit_code;
    } bad_lines[] = {
        {{}, 2},
        {{"--reply", "x"}, 2},
        {{model, "--layers"}, 2},
        {{model, "--layers", "-3"}, 2},
        {{model, "--type", "q4"}, 2},
        {{model, "--unknown"}, 2},
        {{model, "--embd", "100"}, 1},
        {{folder.File("missing/model.gguf")}, 1},
    };
    for (const auto& line : bad_lines) {
        const ChildResult child = RunChild(VELKIN_TINYMODEL_CLI, line.arguments);
        EXPECT_EQ(child.exit_code, line.exit_code) << (line.arguments.empty() ? "" : line.arguments.back());
        EXPECT_FALSE(std::filesystem::exists(model));
    }

    const std::string reply = "**bold** \xF0\x9F\x98\x80\n```\ncode\n```";
    ASSERT_EQ(RunChild(VELKIN_TINYMODEL_CLI, {model, "--reply", reply, "--ctx", "2048", "--type", "q8_0"}).exit_code, 0);
    {
        MessageLog log;
        EnginePtr engine(new Engine);
        LoadModelFromFolder(new LoadRequest{log.hwnd, engine.get()}, folder.Wide());
        log.Drain();
        ASSERT_TRUE(engine->ready);
        EXPECT_EQ(engine->n_ctx, 2048);
        EXPECT_EQ(JoinPieces(Reply(engine.get(), GreetingPrompt())), reply);
    }
    WriteBytes(folder.File("reply.txt"), std::string("from a file\0with a nul", 22));
    ASSERT_EQ(RunChild(VELKIN_TINYMODEL_CLI, {model, "--reply-file", folder.File("reply.txt"), "--endless"}).exit_code, 0);
    MessageLog log;
    EnginePtr engine(new Engine);
    LoadModelFromFolder(new LoadRequest{log.hwnd, engine.get()}, folder.Wide());
    log.Drain();
    ASSERT_TRUE(engine->ready);
    const auto endless = Reply(engine.get(), GreetingPrompt(), 30);
    EXPECT_EQ(JoinPieces(endless), std::string("from a filewith a nulfrom a f"));  // the NUL piece arrives empty
    EXPECT_EQ(CountOf(endless, WM_APP_TOKEN), 30);
}

}  // namespace
