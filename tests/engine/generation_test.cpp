// Replies on a generation thread with real llama.cpp on tiny models: streamed
// pieces, the final message, limits, stop, context limits and cache reuse.
#include <gtest/gtest.h>

#include <atomic>

#include "allocation_failure.h"
#include "engine_test_support.h"

namespace {

const char kNotInitialized[] = "Engine is not initialized.";
const char kTooLong[] = "The conversation is too long for the context window. Please start a new chat.";
const char kContextFull[] = "Context window full. Please start a new chat.";

// Every piece first, then exactly one WM_APP_GEN_DONE, and nothing else.
void ExpectPiecesThenDone(const std::vector<Received>& received, const char* label = "") {
    ASSERT_FALSE(received.empty()) << label;
    EXPECT_EQ(received.back().message, WM_APP_GEN_DONE) << label;
    EXPECT_FALSE(received.back().has_text) << label;
    EXPECT_EQ(CountOf(received, WM_APP_GEN_DONE), 1) << label;
    EXPECT_EQ(CountOf(received, WM_APP_ERROR), 0) << label;
    EXPECT_EQ(CountOf(received, WM_APP_TOKEN) + 1, static_cast<int>(received.size())) << label;
}

// Starts counting the prompt tokens the context decodes.
void ResetPromptCount(Engine& engine) {
    llama_synchronize(engine.ctx);  // settles the count of a decode still in flight
    llama_perf_context_reset(engine.ctx);
}
int32_t PromptDecodes(const Engine& engine) {
    llama_synchronize(engine.ctx);  // the count of the last decode is added here
    return llama_perf_context(engine.ctx).n_p_eval;
}

// A reply on its own thread, stopped once `pieces` pieces have arrived.
std::vector<Received> ReplyStoppedAfter(Engine* engine, const std::string& prompt, int pieces) {
    std::atomic<bool> stop{false};
    MessageLog log;
    auto* request = new GenerationRequest{log.hwnd, engine, prompt, &stop, -1};
    HANDLE thread = CreateThread(nullptr, 0, GenerationThread, request, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    log.PumpUntil([pieces](const std::vector<Received>& r) {
        return CountOf(r, WM_APP_TOKEN) >= pieces || CountOf(r, WM_APP_GEN_DONE) > 0;
    });
    stop.store(true);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    log.Drain();
    return log.received;
}

// Endless, and slow enough per token that a stop lands mid-reply.
TinyModel SlowEndlessReply(const std::string& text) {
    TinyModel model = EndlessReply(text);
    model.n_embd = 512;
    model.n_layer = 4;
    return model;
}

// A greeting prompt padded with a user turn so that it tokenises to exactly `target` tokens.
std::string PromptOfTokens(const Engine& engine, int32_t target) {
    ChatHistory history;
    AddUserMessage(history, "");
    const int32_t base = CountTokens(engine, BuildPrompt(history));
    history.messages[0].text.assign(static_cast<size_t>(target - base), 'x');  // one token per 'x'
    return BuildPrompt(history);
}

// A user message of `bytes` bytes: base64 without spaces, or one character repeated.
std::string LongMessage(size_t bytes, char repeated = 0) {
    if (repeated) return std::string(bytes, repeated);
    static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text(bytes, 'A');
    uint32_t state = 12345;
    for (char& c : text) {
        state = state * 1103515245u + 12345u;
        c = kBase64[(state >> 16) % 64];
    }
    return text;
}

std::string PromptWithMessage(const std::string& message) {
    ChatHistory history;
    AddUserMessage(history, message);
    return BuildPrompt(history);
}

// Acts from inside the library's computation, once sequence 0 holds `position`:
// sets `stop` when given, aborts that computation when `abort` is true, and
// with `fail_allocation` makes the decoding thread's next allocation fail, once.
struct ComputeWatch {
    llama_context* ctx = nullptr;
    llama_pos position = 0;
    std::atomic<bool>* stop = nullptr;
    bool abort = false;
    bool fail_allocation = false;
};

bool WatchCompute(void* data) {
    auto* watch = static_cast<ComputeWatch*>(data);
    if (llama_memory_seq_pos_max(llama_get_memory(watch->ctx), 0) < watch->position) return false;
    if (watch->stop) watch->stop->store(true);
    if (watch->fail_allocation) {
        watch->fail_allocation = false;
        FailNextAllocationOnThisThread();  // the library calls this on the thread that decodes
    }
    return watch->abort;
}

TEST(Generation, ScriptedRepliesStreamAsPiecesThenOneDone) {
    const TinyVocabulary kBpe = TinyVocabulary::ByteLevelBpe;
    const struct {
        const char* name;
        std::string reply;
        TinyVocabulary vocabulary = TinyVocabulary::SentencePiece;
    } cases[] = {
        {"plain", "Hello! I am Tamsy."},
        {"markdown", "# Title\n\n- **bold** and `code`\n\n```js\nlet a = 1;\n```\n"},
        {"repeated letters", "aaaa bbbb aaaa"},
        {"emoji and accents", "Hi \xF0\x9F\x98\x80 caf\xC3\xA9"},
        {"markup", "<script>alert('x')</script>&amp;\"q\""},
        {"broken utf-8", "ok \xF0\x9F \xFF end"},
        {"byte-level BPE", "Hi \xF0\x9F\x98\x80 caf\xC3\xA9", kBpe},
        // hostile: byte tokens that spell code points above U+10FFFF
        {"byte-level BPE beyond U+10FFFF", "a \xF4\x90\x80\x80 \xF5\x80\x80\x80!", kBpe},
    };
    for (const auto& c : cases) {
        TinyModel model = ScriptedReply(c.reply);
        model.vocabulary = c.vocabulary;
        EnginePtr engine = LoadEngine(model);
        ASSERT_TRUE(engine->ready) << c.name;
        const std::string prompt = GreetingPrompt();
        const auto received = Reply(engine.get(), prompt);
        ExpectPiecesThenDone(received, c.name);
        EXPECT_EQ(JoinPieces(received), c.reply) << c.name;
        EXPECT_EQ(CountOf(received, WM_APP_TOKEN), static_cast<int>(c.reply.size())) << c.name;
        // The cache holds the prompt and every reply token, never the end token.
        const int32_t prompt_tokens = CountTokens(*engine, prompt);
        EXPECT_EQ(engine->n_past, prompt_tokens + static_cast<int32_t>(c.reply.size())) << c.name;
        EXPECT_EQ(engine->cached_tokens.size(), static_cast<size_t>(engine->n_past)) << c.name;
        EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), engine->n_past - 1) << c.name;
    }
}

TEST(Generation, AMultiByteCharacterArrivesInSeveralPiecesThatJoinExactly) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    EnginePtr engine = LoadEngine(ScriptedReply(emoji));
    const auto received = Reply(engine.get(), GreetingPrompt());
    ExpectPiecesThenDone(received);
    const auto pieces = TextsOf(received, WM_APP_TOKEN);
    ASSERT_EQ(pieces.size(), 4u);
    for (const std::string& piece : pieces) EXPECT_EQ(piece.size(), 1u);
    EXPECT_EQ(JoinPieces(received), emoji);
}

TEST(Generation, UnusualPieces) {
    // A NUL byte cuts its piece; a control token sends nothing but still counts;
    // a piece longer than the usual 256-byte buffer arrives whole.
    TinyModel model;
    const std::string long_piece(300, 'L');
    model.pieces = {"a", std::string(1, '\0'), "", long_piece, "b"};
    model.edges = {{kTinyAfterPrompt, 0}, {0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, kTinyEnd}};
    EnginePtr engine = LoadEngine(model);
    const std::string prompt = GreetingPrompt();
    const auto received = Reply(engine.get(), prompt);
    ExpectPiecesThenDone(received);
    EXPECT_EQ(TextsOf(received, WM_APP_TOKEN), (std::vector<std::string>{"a", "", long_piece, "b"}));
    EXPECT_EQ(engine->n_past, CountTokens(*engine, prompt) + 5);
}

TEST(Generation, AnImmediateEndSendsNoPieceAndKeepsThePrompt) {
    EnginePtr engine = LoadEngine(ImmediateEnd());
    const std::string prompt = GreetingPrompt();
    const auto received = Reply(engine.get(), prompt);
    EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_GEN_DONE});
    EXPECT_EQ(engine->cached_tokens, Tokens(*engine, prompt));
    EXPECT_EQ(engine->n_past, CountTokens(*engine, prompt));
}

TEST(Generation, AnEmptyPromptEndsAtOnce) {
    EnginePtr engine = LoadEngine(ScriptedReply("abc"));
    Reply(engine.get(), GreetingPrompt());
    const std::vector<llama_token> before = engine->cached_tokens;
    EXPECT_EQ(MessagesOf(Reply(engine.get(), "")), std::vector<UINT>{WM_APP_GEN_DONE});
    EXPECT_EQ(engine->cached_tokens, before);
}

TEST(Generation, APromptThatFailsToDecodeLeavesTheCommonPrefix) {
    // The context loses most of its cache behind the engine's back, so decoding
    // the new part of the next prompt at the remembered position fails.
    EnginePtr engine = LoadEngine(ScriptedReply("abc"));
    ChatHistory history;
    AddUserMessage(history, "Hello!");
    const std::string first = BuildPrompt(history);
    Reply(engine.get(), first);
    llama_memory_seq_rm(llama_get_memory(engine->ctx), 0, 5, -1);
    history.messages.push_back({1, "abc"});
    AddUserMessage(history, "More.");
    const auto received = Reply(engine.get(), BuildPrompt(history));
    EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_ERROR});
    EXPECT_EQ(TextsOf(received, WM_APP_ERROR),
              std::vector<std::string>{"Failed to process the prompt. The input may be too long."});
    EXPECT_EQ(engine->cached_tokens, Tokens(*engine, first));
    EXPECT_EQ(engine->n_past, CountTokens(*engine, first));
}

TEST(Generation, TheTokenLimitCountsSampledTokens) {
    EnginePtr engine = LoadEngine(EndlessReply("abc"));
    const std::string prompt = GreetingPrompt();
    const int32_t prompt_tokens = CountTokens(*engine, prompt);
    const struct {
        int32_t requested;
        int32_t engine_default;
        int expected;
    } cases[] = {{120, 2048, 120}, {1, 2048, 1}, {0, 7, 7}, {-1, 9, 9}, {-5, 0, 0}};
    for (const auto& c : cases) {
        ResetEngine(engine.get());
        engine->max_tokens = c.engine_default;
        const auto received = Reply(engine.get(), prompt, c.requested);
        ExpectPiecesThenDone(received, "limit");
        EXPECT_EQ(CountOf(received, WM_APP_TOKEN), c.expected) << c.requested << " / " << c.engine_default;
        // The last token was decoded as well.
        EXPECT_EQ(engine->n_past, prompt_tokens + c.expected) << c.requested;
    }
}

TEST(Generation, AStopBeforeTheFirstTokenSendsNothing) {
    EnginePtr engine = LoadEngine(EndlessReply("abc"));
    const std::string prompt = GreetingPrompt();
    std::atomic<bool> stop{true};
    const auto received = Reply(engine.get(), prompt, -1, &stop);
    EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_GEN_DONE});
    EXPECT_EQ(engine->cached_tokens, Tokens(*engine, prompt));
    EXPECT_TRUE(stop.load()) << "the run only reads the flag";
}

TEST(Generation, AStopDuringAReplyRollsTheCacheBackToThePrompt) {
    EnginePtr engine = LoadEngine(SlowEndlessReply("slow "));
    const std::string prompt = GreetingPrompt();
    const auto received = ReplyStoppedAfter(engine.get(), prompt, 5);
    ExpectPiecesThenDone(received);
    const int pieces = CountOf(received, WM_APP_TOKEN);
    EXPECT_GE(pieces, 5);
    EXPECT_LT(pieces, 2048) << "the stop must end the reply before its limit";
    EXPECT_EQ(engine->cached_tokens, Tokens(*engine, prompt));
    EXPECT_EQ(engine->n_past, CountTokens(*engine, prompt));
    EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), engine->n_past - 1);
}

TEST(Generation, PromptsThatDoNotFitAreRefusedAndLeaveTheCache) {
    TinyModel model = EndlessReply("z");
    model.n_ctx_train = 512;
    EnginePtr engine = LoadEngine(model);
    ASSERT_EQ(static_cast<int32_t>(llama_n_ctx(engine->ctx)), 512);
    // Something in the cache first, which a refusal must keep.
    Reply(engine.get(), GreetingPrompt(), 3);
    const std::vector<llama_token> before = engine->cached_tokens;
    const int32_t n_past_before = engine->n_past;
    const struct {
        int32_t tokens;
        const char* error;
    } cases[] = {{512, kContextFull}, {513, kTooLong}, {2000, kTooLong}};
    for (const auto& c : cases) {
        const std::string prompt = PromptOfTokens(*engine, c.tokens);
        ASSERT_EQ(CountTokens(*engine, prompt), c.tokens);
        const auto received = Reply(engine.get(), prompt);
        ASSERT_EQ(received.size(), 1u) << c.tokens;
        EXPECT_EQ(received[0].message, WM_APP_ERROR) << c.tokens;
        EXPECT_EQ(received[0].text, c.error) << c.tokens;
        EXPECT_EQ(engine->cached_tokens, before) << c.tokens;
        EXPECT_EQ(engine->n_past, n_past_before) << c.tokens;
    }
    // Hostile: pasted blobs far beyond the context, refused without tokenising
    // them (that would take minutes), and again on the next send.
    const std::string blobs[] = {LongMessage(1 << 20), LongMessage(10 << 20, 'a'), LongMessage(10 << 20, ' '),
                                 LongMessage(3000), LongMessage(1000, ' ')};
    for (const std::string& blob : blobs) {
        for (int send = 0; send < 2; ++send) {
            const auto received = Reply(engine.get(), PromptWithMessage(blob));
            EXPECT_EQ(TextsOf(received, WM_APP_ERROR), std::vector<std::string>{kTooLong}) << blob.size();
            EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_ERROR}) << blob.size();
            EXPECT_EQ(engine->cached_tokens, before) << blob.size();
        }
    }
}

TEST(Generation, TheCheapRefusalNeverRefusesAPromptThatFits) {
    // Tokens the tokeniser really merges into: "hello" by way of "he", "ll" and
    // "hell"; one and two spaces ("\u2581" is how the vocabulary writes a space).
    TinyModel model = EndlessReply("z");
    model.n_ctx_train = 512;
    model.pieces.insert(model.pieces.end(),
                        {"he", "ll", "hell", "hello", "\xE2\x96\x81", "\xE2\x96\x81\xE2\x96\x81", "\xC3\xA9t\xC3\xA9"});
    EnginePtr engine = LoadEngine(model);
    ASSERT_FALSE(engine->prompt_bound.piece_ends.empty());
    EXPECT_EQ(FewestPromptTokens(engine->prompt_bound, "hello"), 1);
    // No chain of merges gives "\xC3\xA9t\xC3\xA9", so a text of it is counted by its
    // characters: a prompt spelled with such tokens is refused by the count, not
    // after seconds of tokenising.
    EXPECT_EQ(FewestPromptTokens(engine->prompt_bound, "\xC3\xA9t\xC3\xA9"), 3);
    std::string unreachable;
    for (int i = 0; i < 200; ++i) unreachable += "\xC3\xA9t\xC3\xA9";
    EXPECT_TRUE(PromptCannotFit(engine->prompt_bound, PromptWithMessage(unreachable), 512));
    const std::string texts[] = {
        // valid
        "Hello!", "hello hello, hellohello", "# Title\n\n- **bold** `code`",
        // hostile: runs of one character, spaces, broken UTF-8, markers, emoji
        std::string(400, 'a'), std::string(700, ' '), "\xF0\x9F \xFF\xC3", "<|im_end|><|im_start|>x",
        "\xF0\x9F\x98\x80\xC3\xA9t\xC3\xA9 \xC3\xA9t\xC3\xA9", LongMessage(480),
    };
    for (const std::string& text : texts) {
        const std::string prompt = PromptWithMessage(text);
        const int32_t n_tokens = CountTokens(*engine, prompt);
        EXPECT_LE(FewestPromptTokens(engine->prompt_bound, prompt), n_tokens) << text;
        if (n_tokens < 512) {
            EXPECT_EQ(CountOf(Reply(engine.get(), prompt, 1), WM_APP_GEN_DONE), 1) << text;
        }
    }
    // A prompt of exactly n_ctx - 1 tokens, mostly spaces (two to a token): answered.
    const std::string spaces(300, ' ');
    const int32_t n_padding = 511 - CountTokens(*engine, PromptWithMessage(spaces));
    ASSERT_GT(n_padding, 0);
    const std::string prompt = PromptWithMessage(spaces + std::string(n_padding, 'x'));
    ASSERT_EQ(CountTokens(*engine, prompt), 511);
    EXPECT_EQ(MessagesOf(Reply(engine.get(), prompt, 1)), (std::vector<UINT>{WM_APP_TOKEN, WM_APP_GEN_DONE}));
}

TEST(Generation, AVocabularyThatStripsSpacesHasNoCheapRefusal) {
    // Phi-3 vocabularies strip the spaces after their special tokens, so a long
    // run of them may cost nothing: only tokenising can tell.
    TinyModel model = ScriptedReply("ok");
    model.n_ctx_train = 512;
    model.pieces.push_back("<|endoftext|>");  // a token the library looks for in such vocabularies
    model.header_str = {{"general.name", "phi3 tiny"}};
    EnginePtr engine = LoadEngine(model);
    EXPECT_TRUE(engine->prompt_bound.piece_ends.empty());
    EnginePtr plain = LoadEngine(ScriptedReply("ok"));
    EXPECT_FALSE(plain->prompt_bound.piece_ends.empty());
    const std::string prompt = "<|im_start|>user\nHi<|im_end|>" + std::string(3000, ' ') + "<|im_start|>assistant\n";
    ASSERT_LT(CountTokens(*engine, prompt), 512);
    EXPECT_EQ(JoinPieces(Reply(engine.get(), prompt)), "ok");
}

TEST(Generation, AReplyThatFillsTheCacheEndsWithTheContextFullError) {
    TinyModel model = EndlessReply("z");
    model.n_ctx_train = 512;
    EnginePtr engine = LoadEngine(model);
    const struct {
        int32_t prompt_tokens;
        int pieces;  // sampled and sent; the last one no longer fits in the cache
    } cases[] = {{511, 2}, {500, 13}};
    for (const auto& c : cases) {
        ResetEngine(engine.get());
        const auto received = Reply(engine.get(), PromptOfTokens(*engine, c.prompt_tokens));
        // The pieces, then the reason the reply stops there instead of a normal end.
        std::vector<UINT> expected(c.pieces, WM_APP_TOKEN);
        expected.push_back(WM_APP_ERROR);
        EXPECT_EQ(MessagesOf(received), expected) << c.prompt_tokens;
        EXPECT_EQ(TextsOf(received, WM_APP_ERROR), std::vector<std::string>{kContextFull}) << c.prompt_tokens;
        EXPECT_EQ(engine->n_past, 512) << c.prompt_tokens;
        EXPECT_EQ(engine->cached_tokens.size(), 512u) << c.prompt_tokens;
        EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), 511) << "the failed token left no trace";
    }
    // A reply that ends just as the cache is full is a normal end.
    ResetEngine(engine.get());
    EXPECT_EQ(MessagesOf(Reply(engine.get(), PromptOfTokens(*engine, 500), 12)).back(),
              static_cast<UINT>(WM_APP_GEN_DONE));
    EXPECT_EQ(engine->n_past, 512);
}

TEST(Generation, ACodePointTheTokeniserRejectsFailsTheReplyNotTheProgram) {
    // Byte-level BPE tokenisers throw on a code point above U+10FFFF. The run
    // reports a failed prompt, and the engine answers the next prompt as before.
    const std::string kPromptFailed = "Failed to process the prompt. The input may be too long.";
    const struct {
        const char* name;
        TinyVocabulary vocabulary;
        std::string message;
        bool fails;
    } cases[] = {
        // valid: the highest code point, replacement characters, bytes the tokeniser replaces itself
        {"U+10FFFF", TinyVocabulary::ByteLevelBpe, "max \xF4\x8F\xBF\xBF", false},
        {"U+FFFD", TinyVocabulary::ByteLevelBpe, "\xEF\xBF\xBD\xEF\xBF\xBD", false},
        {"cut sequence", TinyVocabulary::ByteLevelBpe, "cut \xF4\x90 and \xF0\x9F", false},
        {"five-byte form", TinyVocabulary::ByteLevelBpe, "\xF8\x88\x80\x80\x80", false},
        {"SentencePiece reads any bytes", TinyVocabulary::SentencePiece, "a \xF4\x90\x80\x80 b", false},
        // hostile: four-byte forms above U+10FFFF
        {"F4 90 80 80", TinyVocabulary::ByteLevelBpe, "a \xF4\x90\x80\x80 b", true},
        {"F5 80 80 80", TinyVocabulary::ByteLevelBpe, "\xF5\x80\x80\x80", true},
        {"F7 BF BF BF in a word", TinyVocabulary::ByteLevelBpe, "x\xF7\xBF\xBF\xBFy", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TinyModel model = ScriptedReply("ok");
        model.vocabulary = c.vocabulary;
        EnginePtr engine = LoadEngine(model);
        ASSERT_EQ(JoinPieces(Reply(engine.get(), GreetingPrompt())), "ok");
        const std::vector<llama_token> before = engine->cached_tokens;

        ChatHistory history;
        AddUserMessage(history, "Hello!");
        history.messages.push_back({1, "ok"});
        AddUserMessage(history, c.message);
        const auto received = Reply(engine.get(), BuildPrompt(history));
        if (c.fails) {
            EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_ERROR});
            EXPECT_EQ(TextsOf(received, WM_APP_ERROR), std::vector<std::string>{kPromptFailed});
            EXPECT_EQ(engine->cached_tokens, before);
            EXPECT_EQ(engine->n_past, static_cast<int32_t>(before.size()));
            EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), engine->n_past - 1);
        } else {
            ExpectPiecesThenDone(received);
            EXPECT_EQ(JoinPieces(received), "ok");
        }
        // Either way the next turn is answered, reusing the cache as before.
        ResetPromptCount(*engine);
        const std::string greeting = GreetingPrompt();
        EXPECT_EQ(JoinPieces(Reply(engine.get(), greeting)), "ok");
        EXPECT_EQ(PromptDecodes(*engine), 1) << "only the prompt's last token is decoded again";
    }
}

TEST(Generation, ASecondTurnDecodesOnlyWhatFollowsTheCachedPrompt) {
    EnginePtr engine = LoadEngine(ScriptedReply("Hi there!"));
    ChatHistory history;
    AddUserMessage(history, "Hello!");
    const std::string first = BuildPrompt(history);
    ResetPromptCount(*engine);
    ExpectPiecesThenDone(Reply(engine.get(), first));
    EXPECT_EQ(PromptDecodes(*engine), CountTokens(*engine, first));

    history.messages.push_back({1, "Hi there!"});
    AddUserMessage(history, "Tell me more.");
    const std::string second = BuildPrompt(history);
    ResetPromptCount(*engine);
    const auto received = Reply(engine.get(), second);
    ExpectPiecesThenDone(received);
    EXPECT_EQ(JoinPieces(received), "Hi there!");
    // The first prompt stays in the cache; the stored reply (tokenised afresh) and the new turn are decoded.
    EXPECT_EQ(PromptDecodes(*engine), CountTokens(*engine, second) - CountTokens(*engine, first));
}

TEST(Generation, AStoppedReplyIsDecodedAfreshNextTurn) {
    EnginePtr engine = LoadEngine(SlowEndlessReply("more "));
    ChatHistory history;
    AddUserMessage(history, "Hello!");
    const std::string first = BuildPrompt(history);
    const auto partial = ReplyStoppedAfter(engine.get(), first, 3);
    ASSERT_EQ(engine->cached_tokens, Tokens(*engine, first));
    history.messages.push_back({1, JoinPieces(partial)});  // the host keeps the partial reply

    AddUserMessage(history, "Go on.");
    const std::string second = BuildPrompt(history);
    ResetPromptCount(*engine);
    ExpectPiecesThenDone(Reply(engine.get(), second, 2));
    EXPECT_EQ(PromptDecodes(*engine), CountTokens(*engine, second) - CountTokens(*engine, first));
}

TEST(Generation, TheSamePromptAgainRepliesAgain) {
    // The cache then holds the prompt and the old reply; the first token must come
    // from the prompt's own last token, not from the last token the context decoded.
    EnginePtr engine = LoadEngine(ScriptedReply("abc"));
    const std::string prompt = GreetingPrompt();
    EXPECT_EQ(JoinPieces(Reply(engine.get(), prompt)), "abc");
    const auto again = Reply(engine.get(), prompt);
    ExpectPiecesThenDone(again);
    EXPECT_EQ(JoinPieces(again), "abc");
    EXPECT_EQ(engine->n_past, CountTokens(*engine, prompt) + 3);
}

TEST(Generation, ResetEngineEmptiesTheCache) {
    EnginePtr engine = LoadEngine(ScriptedReply("abc"));
    const std::string prompt = GreetingPrompt();
    Reply(engine.get(), prompt);
    ASSERT_GT(engine->n_past, 0);
    ResetEngine(engine.get());
    EXPECT_EQ(engine->n_past, 0);
    EXPECT_TRUE(engine->cached_tokens.empty());
    EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), -1);
    // The next reply decodes the whole prompt from position 0.
    ResetPromptCount(*engine);
    EXPECT_EQ(JoinPieces(Reply(engine.get(), prompt)), "abc");
    EXPECT_EQ(PromptDecodes(*engine), CountTokens(*engine, prompt));
}

TEST(Generation, AnEngineThatNeverLoadedReportsOnce) {
    Engine* engine = new Engine;
    engine->cached_tokens = {7, 8, 9};
    engine->n_past = 3;
    const auto received = Reply(engine, GreetingPrompt());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message, WM_APP_ERROR);
    EXPECT_EQ(received[0].text, kNotInitialized);
    EXPECT_EQ(engine->cached_tokens, (std::vector<llama_token>{7, 8, 9}));
    EXPECT_EQ(engine->n_past, 3);
    ShutdownEngine(engine);
    // A request without an engine at all is refused the same way.
    const auto no_engine = Reply(nullptr, GreetingPrompt());
    EXPECT_EQ(TextsOf(no_engine, WM_APP_ERROR), std::vector<std::string>{kNotInitialized});
}

TEST(Generation, ThePenaltyLooksBackOverItsWholeHistory) {
    // After 42 sampled tokens the model prefers "a" (sampled first) over "b" by a
    // logit of 5. A 64-token history still holds "a", so the penalty turns the
    // choice to "b"; a history that covered only the last 32 tokens would not.
    TinyModel model;
    model.pieces = {"a"};
    for (int i = 0; i < 40; ++i) model.pieces.push_back("f");  // forty tokens that all read "f"
    model.pieces.push_back("x");
    model.pieces.push_back("b");
    const int x = 41;
    const int b = 42;
    model.edges.push_back({kTinyAfterPrompt, 0});
    for (int i = 0; i < x; ++i) model.edges.push_back({i, i + 1});
    model.edges.push_back({x, 0, 100.0f});
    model.edges.push_back({x, b, 95.0f});
    model.edges.push_back({b, kTinyEnd});
    EnginePtr engine = LoadEngine(model);
    for (int run = 0; run < 3; ++run) {  // each reply starts with an empty history
        ResetEngine(engine.get());
        EXPECT_EQ(JoinPieces(Reply(engine.get(), GreetingPrompt(), 43)), "a" + std::string(40, 'f') + "xb");
    }
}

TEST(Generation, EveryReplyStartsWithAnEmptyPenaltyHistory) {
    // After the prompt the model prefers "a" to "b" by a logit of 5; "a" in the
    // penalty history would turn the choice to "b".
    TinyModel model;
    model.pieces = {"a", "b"};
    model.edges = {{kTinyAfterPrompt, 0, 100.0f}, {kTinyAfterPrompt, 1, 95.0f}, {0, kTinyEnd}, {1, kTinyEnd}};
    EnginePtr engine = LoadEngine(model);
    for (int reply = 0; reply < 3; ++reply) {  // no new chat in between
        EXPECT_EQ(JoinPieces(Reply(engine.get(), GreetingPrompt(), 1)), "a") << reply;
    }
}

TEST(Generation, AStopDuringThePromptEndsTheReplyBetweenChunks) {
    EnginePtr engine = LoadEngine(ScriptedReply("done"));
    const std::string prompt = PromptOfTokens(*engine, 1300);  // three chunks
    std::atomic<bool> stop{false};
    ComputeWatch watch{engine->ctx, 0, &stop, false};  // the stop arrives while the first chunk computes
    llama_set_abort_callback(engine->ctx, WatchCompute, &watch);
    ResetPromptCount(*engine);
    const auto received = Reply(engine.get(), prompt, -1, &stop);
    llama_set_abort_callback(engine->ctx, nullptr, nullptr);
    EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_GEN_DONE});
    EXPECT_EQ(PromptDecodes(*engine), 512) << "the later chunks are never decoded";
    // The chunk that decoded stays, and the engine knows exactly that much.
    const std::vector<llama_token> tokens = Tokens(*engine, prompt);
    EXPECT_EQ(engine->n_past, 512);
    EXPECT_EQ(engine->cached_tokens, std::vector<llama_token>(tokens.begin(), tokens.begin() + 512));
    EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), 511);
    // The next send decodes only the rest.
    ResetPromptCount(*engine);
    EXPECT_EQ(JoinPieces(Reply(engine.get(), prompt)), "done");
    EXPECT_EQ(PromptDecodes(*engine), 1300 - 512);
}

TEST(Generation, APromptWhoseLaterChunkFailsLeavesNoneOfItInTheCache) {
    EnginePtr engine = LoadEngine(ScriptedReply("done"));
    const std::string greeting = GreetingPrompt();
    Reply(engine.get(), greeting, 1);
    const std::vector<llama_token> kept(engine->cached_tokens.begin(), engine->cached_tokens.end() - 1);
    // A long turn after the greeting; its second chunk is aborted inside the library.
    ChatHistory history;
    AddUserMessage(history, "Hello!");
    history.messages.push_back({1, "d"});
    AddUserMessage(history, std::string(1000, 'x'));
    const std::string prompt = BuildPrompt(history);
    const int32_t common = static_cast<int32_t>(kept.size());
    ComputeWatch watch{engine->ctx, common + 512, nullptr, true};
    llama_set_abort_callback(engine->ctx, WatchCompute, &watch);
    const auto received = Reply(engine.get(), prompt);
    llama_set_abort_callback(engine->ctx, nullptr, nullptr);
    EXPECT_EQ(TextsOf(received, WM_APP_ERROR),
              std::vector<std::string>{"Failed to process the prompt. The input may be too long."});
    EXPECT_EQ(engine->n_past, common);
    EXPECT_EQ(engine->cached_tokens, kept);
    EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), common - 1) << "the first chunk was taken out";
}

TEST(Generation, AnExceptionAfterTokensWereDecodedLeavesTheCacheAsListed) {
    // Memory runs out inside the library once a decode has put tokens in the
    // cache. The run fails as a prompt that could not be processed, after the
    // pieces it sent; the cache keeps only what cached_tokens lists, so the
    // next turn reuses exactly that and decodes the rest.
    const struct {
        const char* name;
        int32_t prompt_tokens;
        llama_pos fail_after;  // the allocation after the decode that fills this position fails
        int pieces;            // sent before the failure
    } cases[] = {
        {"the prompt's second chunk", 600, 511, 0},  // the first chunk is in the cache, not yet listed
        {"a reply's fourth token", 400, 402, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnginePtr engine = LoadEngine(ScriptedReply("abcdef"));
        const std::string prompt = PromptOfTokens(*engine, c.prompt_tokens);
        ComputeWatch watch{engine->ctx, c.fail_after, nullptr, false, true};
        llama_set_abort_callback(engine->ctx, WatchCompute, &watch);
        const auto received = Reply(engine.get(), prompt);
        llama_set_abort_callback(engine->ctx, nullptr, nullptr);
        ASSERT_FALSE(watch.fail_allocation) << "the failure was never raised";
        std::vector<UINT> expected(c.pieces, WM_APP_TOKEN);
        expected.push_back(WM_APP_ERROR);
        EXPECT_EQ(MessagesOf(received), expected);
        EXPECT_EQ(TextsOf(received, WM_APP_ERROR),
                  std::vector<std::string>{"Failed to process the prompt. The input may be too long."});
        EXPECT_EQ(engine->cached_tokens.size(), static_cast<size_t>(engine->n_past));
        EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(engine->ctx), 0), engine->n_past - 1);

        // The same prompt again is answered, decoding what the cache does not hold.
        const int32_t kept = std::min(engine->n_past, c.prompt_tokens - 1);
        ResetPromptCount(*engine);
        const auto again = Reply(engine.get(), prompt);
        ExpectPiecesThenDone(again);
        EXPECT_EQ(JoinPieces(again), "abcdef");
        EXPECT_EQ(PromptDecodes(*engine), c.prompt_tokens - kept);
    }
}

TEST(Generation, DecodeTokensDecodesLongRestsInChunks) {
    EnginePtr engine = LoadEngine(ScriptedReply("ok"));
    llama_memory_t memory = llama_get_memory(engine->ctx);
    std::vector<llama_token> tokens(600, kTinyLineFeedToken);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), 0, 0, nullptr), 0);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), -3, 0, nullptr), 0);
    EXPECT_EQ(llama_memory_seq_pos_max(memory, 0), -1);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), 100, 0, nullptr), 100);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), 600, 100, nullptr), 600);
    EXPECT_EQ(llama_memory_seq_pos_min(memory, 0), 0);
    EXPECT_EQ(llama_memory_seq_pos_max(memory, 0), 699);

    // A stop seen between chunks shows where the chunks end: 512 tokens, then 88.
    std::atomic<bool> stop{true};
    llama_memory_seq_rm(memory, 0, 100, -1);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), 600, 100, &stop), 512);
    EXPECT_EQ(llama_memory_seq_pos_max(memory, 0), 611);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), 88, 612, &stop), 88) << "the first chunk never waits";
    EXPECT_EQ(llama_memory_seq_pos_max(memory, 0), 699);
    // A failing chunk after a good one reports the failure.
    tokens[520] = llama_vocab_n_tokens(engine->vocab) + 7;  // no such token
    llama_memory_seq_rm(memory, 0, 100, -1);
    EXPECT_EQ(DecodeTokens(engine.get(), tokens.data(), 600, 100, nullptr), -1);
    EXPECT_EQ(llama_memory_seq_pos_max(memory, 0), 611) << "the first chunk stays for the caller to remove";
}

TEST(Generation, AWholeLongPromptIsDecodedAndAnswered) {
    EnginePtr engine = LoadEngine(ScriptedReply("done"));
    const std::string prompt = PromptOfTokens(*engine, 1300);  // three chunks
    ResetPromptCount(*engine);
    const auto received = Reply(engine.get(), prompt);
    ExpectPiecesThenDone(received);
    EXPECT_EQ(JoinPieces(received), "done");
    EXPECT_EQ(PromptDecodes(*engine), 1300);
}

}  // namespace
