// The tiny-model writer: what it refuses, and that what it writes is the model
// the engine tests rely on (markers, end token, byte pieces, sizes, weight types).
#include <gtest/gtest.h>

#include <cmath>

#include "engine_test_support.h"

namespace {

TEST(TinyModelWriter, RefusesInconsistentModelsAndLeavesNoFile) {
    const auto with = [](auto change) {
        TinyModel model = ScriptedReply("ab");
        change(model);
        return model;
    };
    const struct {
        const char* name;
        TinyModel model;
    } cases[] = {
        {"repeated long piece", with([](TinyModel& m) { m.pieces = {"word", "word"}; })},
        {"edge to a missing piece", with([](TinyModel& m) { m.edges.push_back({0, 9}); })},
        {"edge from a missing piece", with([](TinyModel& m) { m.edges.push_back({-7, 0}); })},
        {"edge back to the prompt", with([](TinyModel& m) { m.edges.push_back({0, kTinyAfterPrompt}); })},
        {"logit not a number", with([](TinyModel& m) { m.edges[0].logit = std::nanf(""); })},
        {"embedding too narrow", with([](TinyModel& m) { m.n_embd = 2; })},
        {"embedding not a multiple of 64", with([](TinyModel& m) { m.n_embd = 100; })},
        {"no layers", with([](TinyModel& m) { m.n_layer = 0; })},
        {"negative padding", with([](TinyModel& m) { m.n_vocab_padding = -1; })},
    };
    TempFolder folder;
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(WriteTinyModel(c.model, folder.File("bad.gguf"), &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_FALSE(std::filesystem::exists(folder.File("bad.gguf"))) << c.name;
    }
    std::string error;
    EXPECT_FALSE(WriteTinyModel(ScriptedReply("a"), folder.File("no/such/folder/m.gguf"), &error));
    EXPECT_NE(error.find("could not write"), std::string::npos);
}

TEST(TinyModelWriter, WritesTheVocabularyTheEngineExpects) {
    TinyModel model = ScriptedReply("A\xF0\x9F\x98\x80");
    model.n_vocab_padding = 1000;
    model.n_ctx_train = 1234;
    EnginePtr engine = LoadEngine(model);
    ASSERT_TRUE(engine->ready);
    const llama_vocab* vocab = engine->vocab;
    EXPECT_EQ(llama_vocab_n_tokens(vocab), 5 + 256 + 5 + 1000);
    EXPECT_EQ(llama_model_n_ctx_train(engine->model), 1234);
    EXPECT_TRUE(llama_vocab_is_control(vocab, kTinyImStartToken));
    EXPECT_TRUE(llama_vocab_is_control(vocab, kTinyImEndToken));
    EXPECT_TRUE(llama_vocab_is_eog(vocab, kTinyImEndToken));
    EXPECT_FALSE(llama_vocab_is_eog(vocab, TinyPieceToken(0)));
    // Markers in text become their single control tokens; other bytes one token each.
    const std::string text = "<|im_start|>user\nA<|im_end|>\n";
    std::vector<llama_token> tokens(64);
    const int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(), 64, true, true);
    ASSERT_EQ(n, 1 + 5 + 1 + 1 + 1);
    EXPECT_EQ(tokens[0], kTinyImStartToken);
    EXPECT_EQ(tokens[7], kTinyImEndToken);
    EXPECT_EQ(tokens[8], kTinyLineFeedToken);
    // Each piece renders to exactly its byte.
    const std::string bytes = "A\xF0\x9F\x98\x80";
    for (int i = 0; i < 5; ++i) {
        char piece[8];
        ASSERT_EQ(llama_token_to_piece(vocab, TinyPieceToken(i), piece, sizeof piece, 0, false), 1) << i;
        EXPECT_EQ(piece[0], bytes[i]) << i;
    }
}

TEST(TinyModelWriter, EveryWeightTypeRepliesTheSame) {
    for (TinyWeightType type : {TinyWeightType::F32, TinyWeightType::F16, TinyWeightType::Q8_0}) {
        TinyModel model = ScriptedReply("same reply");
        model.weight_type = type;
        model.n_layer = 2;
        model.n_ff = 128;
        EnginePtr engine = LoadEngine(model);
        ASSERT_TRUE(engine->ready);
        EXPECT_EQ(JoinPieces(Reply(engine.get(), GreetingPrompt())), "same reply") << static_cast<int>(type);
    }
}

}  // namespace
