// Writer of tiny llama-architecture GGUF models whose replies are scripted by a
// next-token table. Used by tests and benchmarks; runs on the caller's thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Where a table edge starts or ends besides a reply piece.
constexpr int kTinyAfterPrompt = -1;  // the prompt's last token: the line feed of "<|im_start|>assistant\n"
constexpr int kTinyEnd = -2;          // the end-of-generation token "<|im_end|>"

// One row of the next-token table: after `from` the model favours `to` with `logit`.
// `from` is a piece index or kTinyAfterPrompt; `to` is a piece index or kTinyEnd.
struct TinyEdge {
    int from = kTinyAfterPrompt;
    int to = kTinyEnd;
    float logit = 60.0f;  // far above every other token, so temperature and top-p cannot pick another
};

enum class TinyWeightType { F32, F16, Q8_0 };

// A tensor of 32-bit floats, all zero, of up to four dimensions.
struct TinyTensor {
    std::string name;
    std::vector<int64_t> shape;
};

// How the vocabulary spells text: SentencePiece ("llama": "<0xNN>" byte tokens, spaces
// as "\u2581") or byte-level BPE ("gpt2": each byte a character of GPT-2's byte
// alphabet, no merges), as most recent models do.
enum class TinyVocabulary { SentencePiece, ByteLevelBpe };

struct TinyModel {
    // Every token the model replies with, one token each, as the exact bytes it renders to.
    // A one-byte piece becomes a byte token, a longer one a normal token, an empty one a
    // control token (renders nothing). Each piece is its own token, so a repeated byte
    // still carries its own place in the table. Byte-level BPE renders byte tokens as
    // their byte too, so such a model can write any byte sequence, broken UTF-8 included.
    std::vector<std::string> pieces;
    std::vector<TinyEdge> edges;  // tokens without an edge favour nothing (all logits 0)
    int32_t n_ctx_train = 4096;   // the training context written to the file; 0 is allowed
    int32_t n_embd = 0;           // 0 = just wide enough for the table (a multiple of 64)
    int32_t n_layer = 1;
    int32_t n_ff = 0;             // 0 = n_embd
    int32_t n_vocab_padding = 0;  // extra unused tokens, to reach a realistic vocabulary
    TinyWeightType weight_type = TinyWeightType::F32;
    TinyVocabulary vocabulary = TinyVocabulary::SentencePiece;
    // "llama", or "hunyuan-dense": the same network with per-head query and key
    // norms, an architecture whose expert counts the library reads its own way.
    // Any other name writes the header under that architecture's keys beside
    // llama's tensors: a file whose header the library reads and then refuses.
    std::string architecture = "llama";
    // Header values written over (or beside) the usual ones, e.g. a layer count
    // that disagrees with the tensors, for files a loader must refuse.
    std::vector<std::pair<std::string, uint32_t>> header_u32;
    std::vector<std::pair<std::string, float>> header_f32;
    std::vector<std::pair<std::string, bool>> header_bool;
    std::vector<std::pair<std::string, std::string>> header_str;
    std::vector<std::pair<std::string, std::vector<int8_t>>> header_bool_array;  // 0 false, else true
    std::vector<std::pair<std::string, std::vector<uint32_t>>> header_u32_array;
    std::vector<std::pair<std::string, std::vector<std::string>>> header_str_array;
    // Tensors written instead of llama's when not empty: another architecture's
    // set, e.g. the one the library asks for when it reads this header.
    std::vector<TinyTensor> tensors;
};

// A reply of `text`, one byte per token, then end of generation.
TinyModel ScriptedReply(const std::string& text);
// A reply that repeats `text` (one byte per token) and never ends by itself.
TinyModel EndlessReply(const std::string& text);
// A reply that ends at once: the first sampled token is end of generation.
TinyModel ImmediateEnd();

// Token id of piece `index` in a written model, and of the fixed tokens.
int32_t TinyPieceToken(int index);
constexpr int32_t kTinyImStartToken = 3;
constexpr int32_t kTinyImEndToken = 4;
constexpr int32_t kTinyLineFeedToken = 5 + 0x0A;

// Writes `model` to `path`. Returns false with a sentence in `error` when the table is
// inconsistent or the file cannot be written; a failed write leaves no usable file.
bool WriteTinyModel(const TinyModel& model, const std::string& path, std::string* error);
