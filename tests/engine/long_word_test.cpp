// Long words on the generation thread: llama.cpp's deepseek vocabularies split
// words with a recursion per character, which once overflowed the thread's
// stack and ended the program. Each case runs in a child process of its own,
// so a crash fails the case instead of ending the test program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "engine_test_support.h"

namespace {

struct LongWord {
    const char* name;
    const char* vocabulary;  // models/ggml-vocab-NAME.gguf
    const char* unit;        // repeated to make the word
    size_t bytes;            // 0: the longest piece, as often as the context holds it
    int32_t n_ctx = 32768;
};

std::string Repeated(const std::string& unit, size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += unit;
    return text;
}

// Runs one reply to `word` as the program would, with the deepseek vocabulary
// in place of the tiny model's (the tiny model gives the context, with a token
// for every id of that vocabulary). The stop is asked for before the start: the
// whole prompt is tokenised, its first chunk of 512 tokens decoded, and the reply
// ends as stopped. Prints the final message and the tokens decoded; ends the
// process with 0 when the run ended in exactly one final message.
void ReplyToALongWord(const LongWord& word) {
    const std::string path = std::string(VELKIN_VOCABULARY_FOLDER) + "/ggml-vocab-" + word.vocabulary + ".gguf";
    llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    llama_model* vocabulary = llama_model_load_from_file(path.c_str(), params);
    if (!vocabulary) {
        fprintf(stderr, "cannot load %s\n", path.c_str());
        exit(2);
    }
    TinyModel model = ImmediateEnd();
    model.n_ctx_train = word.n_ctx;
    model.n_vocab_padding = llama_vocab_n_tokens(llama_model_get_vocab(vocabulary));
    model.weight_type = TinyWeightType::Q8_0;
    EnginePtr engine = LoadEngine(model);
    const llama_vocab* tiny_vocab = engine->vocab;
    engine->vocab = llama_model_get_vocab(vocabulary);
    engine->prompt_bound = MakePromptBound(vocabulary, engine->vocab);

    size_t bytes = word.bytes;
    if (bytes == 0) {
        // A prompt with the piece once, then as many more as leave room for one reply token.
        const size_t piece = engine->prompt_bound.longest_piece;
        ChatHistory once;
        AddUserMessage(once, Repeated(word.unit, piece));
        bytes = (word.n_ctx - 1 - CountTokens(*engine, BuildPrompt(once)) + 1) * piece;
    }
    ChatHistory history;
    AddUserMessage(history, Repeated(word.unit, bytes));
    const std::string prompt = BuildPrompt(history);
    std::atomic<bool> stop{true};
    const std::vector<Received> received = Reply(engine.get(), prompt, -1, &stop);
    for (const Received& entry : received) {
        const char* name = entry.message == WM_APP_GEN_DONE ? "GEN_DONE" : entry.message == WM_APP_ERROR ? "ERROR" : "OTHER";
        fprintf(stderr, "%s %s after %d tokens\n", name, entry.text.c_str(), engine->n_past);
    }
    const bool one_final_message = received.size() == 1 && received[0].message != WM_APP_TOKEN;
    engine->vocab = tiny_vocab;
    engine.reset();
    llama_model_free(vocabulary);
    exit(one_final_message ? 0 : 1);
}

// On the stack the program gives the thread, and failing before that: 32 KiB of
// letters or spaces took 10 MB of stack in the library, more than the 8 MiB of
// a thread by default.
TEST(LongWord, ATokenisedLongWordLeavesTheProgramRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child runs its own threads
    const LongWord cases[] = {
        // valid: a pasted word within a 32k context
        {"letters, 24,577 tokens", "deepseek-coder", "fkgk", 32 << 10},
        {"letters", "deepseek-llm", "fkgk", 32 << 10},
        {"digits, one token each", "deepseek-llm", "7", 30000},
        {"accented letters", "deepseek-coder", "\xC3\xA9", 60000},
        // hostile: runs of white space and punctuation
        {"spaces", "deepseek-llm", " ", 32 << 10},
        {"punctuation", "deepseek-coder", "!?", 32 << 10},
    };
    for (const LongWord& word : cases) {
        EXPECT_EXIT(ReplyToALongWord(word), testing::ExitedWithCode(0), "^GEN_DONE  after [0-9]+ tokens\n$") << word.name;
    }
}

// The longest run of spaces a context holds with deepseek-llm, whose longest
// piece is 128 spaces: 1 MiB in 8k tokens, 330 MB of stack in the library (a 32k
// context's 4 MiB takes 1.3 GB and 18 s here). The count lets through at most
// three pieces more, and the stack grows with the prompt alike.
TEST(LongWord, TheLongestRunAContextHoldsLeavesTheProgramRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const LongWord longest = {"spaces", "deepseek-llm", " ", 0, 8192};
    EXPECT_EXIT(ReplyToALongWord(longest), testing::ExitedWithCode(0), "^GEN_DONE  after 512 tokens\n$");
}

// A paste no context holds still gets the sentence that says so: its stack is
// sized for the longest prompt the count lets through, not for all of it (512
// bytes for each of 128 MiB would be more memory than this machine has).
TEST(LongWord, APasteFarBeyondAnyContextIsRefusedInWords) {
    EnginePtr engine = LoadEngine(ScriptedReply("hi"));
    ChatHistory history;
    AddUserMessage(history, std::string(128 << 20, 'a'));
    const std::vector<Received> received = Reply(engine.get(), BuildPrompt(history));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message, static_cast<UINT>(WM_APP_ERROR));
    EXPECT_EQ(received[0].text, "The conversation is too long for the context window. Please start a new chat.");
}

}  // namespace
