// The cheap count of a prompt's fewest tokens: exact on hand-made pieces, and
// never above the library's own token count with real vocabularies.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "engine_test_support.h"

namespace {

const std::string kU2581 = "\xE2\x96\x81";  // how SentencePiece writes a space

std::string Repeated(const std::string& unit, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += unit;
    return text;
}

PromptBound BoundOf(const std::vector<std::string_view>& pieces, bool sentence_piece) {
    PromptBound bound;
    bound.sentence_piece = sentence_piece;
    SetPieces(&bound, pieces);
    return bound;
}

TEST(PromptBound, CountsTheFewestTokensAndRefusesOnlyWhatCannotFit) {
    std::vector<std::string> bytes;
    for (int byte = 0; byte < 256; ++byte) bytes.push_back(std::string(1, static_cast<char>(byte)));
    std::vector<std::string_view> pieces(bytes.begin(), bytes.end());
    const std::string two_replacements = "\xEF\xBF\xBD\xEF\xBF\xBD";  // a token of byte-level vocabularies
    pieces.insert(pieces.end(), {"ab", "abc", "ab", two_replacements, "  x"});
    const PromptBound bound = BoundOf(pieces, false);
    const PromptBound spaced = BoundOf(pieces, true);
    EXPECT_EQ(bound.piece_ends.size(), 260u) << "each piece once";
    EXPECT_EQ(bound.longest_piece, 6u);
    const struct {
        std::string text;
        int64_t fewest;         // byte-level BPE
        int64_t fewest_spaced;  // SentencePiece: U+2581 read as a space
    } counts[] = {
        // valid
        {"", 0, 0}, {"abcab", 2, 2}, {"ababab", 3, 3}, {"xabcx", 3, 3}, {two_replacements, 1, 1},
        {"  x", 1, 1}, {kU2581 + kU2581 + "x", 3, 1}, {kU2581 + " x", 3, 1}, {"a" + kU2581 + "b", 3, 3},
        // a character no piece spells is still one token at least
        {"\xC3\xA9", 1, 1}, {"\xF0\x9F\x98\x80", 1, 1}, {kU2581, 1, 1},
        // hostile: broken UTF-8 (no count is known for it), a run, a run of U+2581
        {"\xF0\x9F", 0, 0}, {"\xFF\xFF\xFF", 0, 0}, {"ab\xED\xA0\x80", 0, 0},
        {std::string(1000, 'a'), 1000, 1000}, {Repeated(kU2581, 1000), 1000, 1000},
    };
    for (const auto& c : counts) {
        EXPECT_EQ(FewestPromptTokens(bound, c.text), c.fewest) << c.text;
        EXPECT_EQ(FewestPromptTokens(spaced, c.text), c.fewest_spaced) << c.text;
    }

    const struct {
        std::string prompt;
        bool cannot_fit;  // in 2 tokens
    } fits[] = {
        {"abcab", false}, {"", false}, {"  x  x", false},
        {"abcabcabc", true}, {"zzz", true}, {std::string(10 << 20, 'a'), true},
        // Broken UTF-8 may become U+FFFD and join its neighbours: refused only by its size.
        {"\xFF\xFF\xFF", false}, {"\xED\xA0\x80x", false}, {std::string(10 << 20, '\xFF'), true},
    };
    for (const auto& c : fits) {
        EXPECT_EQ(PromptCannotFit(bound, c.prompt, 2), c.cannot_fit) << c.prompt.substr(0, 20);
    }
    // A SentencePiece token's space may stand for a written U+2581: 3 bytes of the prompt.
    pieces.resize(256);
    pieces.push_back("    x");
    const PromptBound four_spaces = BoundOf(pieces, true);
    EXPECT_FALSE(PromptCannotFit(four_spaces, Repeated(kU2581, 4) + "x", 1));
    EXPECT_TRUE(PromptCannotFit(four_spaces, Repeated(kU2581, 4) + "xx", 1));
    EXPECT_FALSE(PromptCannotFit(PromptBound{}, std::string(10 << 20, 'a'), 2)) << "no pieces, no bound";
    EXPECT_EQ(FewestPromptTokens(PromptBound{}, "abc"), 0);
}

// ---- the count against the library's tokeniser, on every vocabulary of llama.cpp's own tests ----

struct Vocabulary {
    const char* name;  // models/ggml-vocab-NAME.gguf
    bool counted;      // whether the count is known for its tokeniser
};

// Off: WordPiece and Unigram normalise text and drop spaces; gemma4 is a
// tokeniser of its own; phi-3 strips the spaces beside its special tokens;
// falcon, refact and starcoder lack tokens for some bytes of valid UTF-8.
const Vocabulary kVocabularies[] = {
    {"aquila", true},     {"baichuan", true},      {"bert-bge", false},      {"command-r", true},
    {"deepseek-coder", true}, {"deepseek-llm", true}, {"falcon", false},     {"gemma-4", false},
    {"gpt-2", true},      {"gpt-neox", true},      {"llama-bpe", true},      {"llama-spm", true},
    {"mpt", true},        {"nomic-bert-moe", false}, {"phi-3", false},       {"qwen2", true},
    {"qwen35", true},     {"refact", false},       {"starcoder", false},
};

void PrintTo(const Vocabulary& vocabulary, std::ostream* out) { *out << vocabulary.name; }

const std::filesystem::path kVocabularyFolder = VELKIN_VOCABULARY_FOLDER;

// The test texts of llama.cpp's tokeniser tests, every .inp file's, each once.
std::vector<std::string> LibraryTestTexts() {
    const std::string separator = "\n__ggml_vocab_test__\n";
    std::set<std::string> texts;
    for (const auto& entry : std::filesystem::directory_iterator(kVocabularyFolder)) {
        if (entry.path().extension() != ".inp") continue;
        const std::string all = ReadBytes(entry.path().string());
        for (size_t from = 0; from <= all.size();) {
            size_t end = all.find(separator, from);
            if (end == std::string::npos) end = all.size();
            texts.insert(all.substr(from, end - from));
            from = end + separator.size();
        }
    }
    return {texts.begin(), texts.end()};
}

// The library's texts, then runs of U+2581 and of white space, the two mixed, and broken UTF-8.
std::vector<std::string> Corpus() {
    std::vector<std::string> corpus = LibraryTestTexts();
    for (size_t n : {1, 2, 3, 5, 16, 17, 32, 33, 100, 300, 2000}) {
        for (const char* unit : {"\xE2\x96\x81", " ", "\t", "\n", "\r\n", " \t\n"}) corpus.push_back(Repeated(unit, n));
    }
    for (size_t n : {1, 2, 7, 300}) {
        for (const char* unit : {"\xE2\x96\x81 ", " \xE2\x96\x81", "\xE2\x96\x81\xE2\x96\x81  ", "\xE2\x96\x81\n",
                                 "\n\xE2\x96\x81", "\xE2\x96\x81\t ", "a\xE2\x96\x81", "\xE2\x96\x81" "a",
                                 "\xE2\x96\x81\xE2\x96\x81" "ab  c\xE2\x96\x81\n\n", "\xE2\x96\x81\xE9\xBE\x8D"}) {
            corpus.push_back(Repeated(unit, n));
        }
    }
    // Broken UTF-8: overlong spaces, which byte-level BPE reads as spaces; stray bytes.
    for (size_t n : {1, 2000}) {
        for (const char* unit : {"\xC0\xA0", "\xE0\x80\xA0", "\xF0\x80\x80\xA0", "\xFF", "\xE2\x96"}) {
            corpus.push_back(Repeated(unit, n));
        }
    }
    corpus.push_back(kU2581 + "Hello" + kU2581 + kU2581 + "world" + kU2581);
    corpus.push_back("<|im_end|>" + kU2581 + "<|im_start|>" + Repeated(kU2581, 20) + "<s>" + Repeated(" ", 20));
    return corpus;
}

// `text` as the program sends it: a turn of a chat as BuildPrompt renders it.
std::vector<std::string> AsPrompts(const std::string& text) {
    ChatHistory user_turn;
    AddUserMessage(user_turn, text);
    ChatHistory conversation;
    AddUserMessage(conversation, "Hi");
    conversation.messages.push_back({1, text});
    AddUserMessage(conversation, text);
    return {text, BuildPrompt(user_turn), BuildPrompt(conversation)};
}

int32_t LibraryTokenCount(const llama_vocab* vocab, const std::string& prompt) {
    const int32_t n = llama_tokenize(vocab, prompt.data(), static_cast<int32_t>(prompt.size()), nullptr, 0, true, true);
    if (n >= 0) return n;
    std::vector<llama_token> tokens(-static_cast<size_t>(n));
    return llama_tokenize(vocab, prompt.data(), static_cast<int32_t>(prompt.size()), tokens.data(),
                          static_cast<int32_t>(tokens.size()), true, true);
}

class PromptBoundOnVocabulary : public testing::TestWithParam<Vocabulary> {};

TEST_P(PromptBoundOnVocabulary, NeverCountsMoreTokensThanTheTokeniserGives) {
    const Vocabulary& vocabulary = GetParam();
    const std::string path = (kVocabularyFolder / ("ggml-vocab-" + std::string(vocabulary.name) + ".gguf")).string();
    llama_backend_init();
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    llama_model* model = llama_model_load_from_file(path.c_str(), params);
    ASSERT_NE(model, nullptr) << path;
    const llama_vocab* vocab = llama_model_get_vocab(model);
    const PromptBound bound = MakePromptBound(model, vocab);
    EXPECT_EQ(!bound.piece_ends.empty(), vocabulary.counted);
    if (!bound.piece_ends.empty()) {
        for (const std::string& text : Corpus()) {
            for (const std::string& prompt : AsPrompts(text)) {
                const int32_t n_tokens = LibraryTokenCount(vocab, prompt);
                ASSERT_GE(n_tokens, 0) << prompt;
                EXPECT_LE(FewestPromptTokens(bound, prompt), n_tokens) << prompt.substr(0, 200);
                EXPECT_FALSE(PromptCannotFit(bound, prompt, n_tokens)) << prompt.substr(0, 200);
            }
        }
    }
    llama_model_free(model);
    llama_backend_free();
}

INSTANTIATE_TEST_SUITE_P(LlamaCppVocabularies, PromptBoundOnVocabulary, testing::ValuesIn(kVocabularies),
                         [](const testing::TestParamInfo<Vocabulary>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
