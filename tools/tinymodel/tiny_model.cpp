// Writes tiny llama-architecture GGUF files through ggml's own GGUF API.
// The network is a next-token table: one-hot token embeddings, attention and
// feed-forward outputs of zero, and an output matrix that scores the next token.

#include "tiny_model.h"

#include "ggml.h"
#include "gguf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

namespace {

// Vocabulary layout: five fixed tokens, the 256 byte tokens, the pieces, the padding.
constexpr int32_t kFixedTokens = 5;
constexpr int32_t kFirstByteToken = kFixedTokens;
constexpr int32_t kFirstPieceToken = kFirstByteToken + 256;
// Hidden-state slots: 0 for every token without an edge, 1 after the prompt, 2 + i for piece i.
constexpr int kOtherSlot = 0;
constexpr int kAfterPromptSlot = 1;
constexpr int kFirstPieceSlot = 2;

// Token types as the GGUF vocabulary stores them.
constexpr int32_t kTypeNormal = 1;
constexpr int32_t kTypeUnknown = 2;
constexpr int32_t kTypeControl = 3;
constexpr int32_t kTypeByte = 6;

constexpr char kHunyuanDense[] = "hunyuan-dense";
constexpr int kHeadWidth = 64;

struct Vocabulary {
    std::vector<std::string> texts;
    std::vector<int32_t> types;
};

int RoundUp(int value, int step) { return (value + step - 1) / step * step; }

// GPT-2's byte alphabet: printable Latin-1 bytes stand for themselves, every
// other byte for U+0100 onwards in byte order. Returns the byte's character in UTF-8.
std::string ByteCharacter(unsigned char byte) {
    const auto printable = [](int b) { return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE; };
    int code = byte;
    if (!printable(byte)) {
        code = 0x100;
        for (int b = 0; b < byte; ++b) code += !printable(b);
    }
    std::string text;
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
    return text;
}

// The text a normal token of `bytes` has in the vocabulary.
std::string NormalTokenText(const TinyModel& model, const std::string& bytes) {
    if (model.vocabulary == TinyVocabulary::SentencePiece) return bytes;
    std::string text;
    for (char byte : bytes) text += ByteCharacter(static_cast<unsigned char>(byte));
    return text;
}

bool BuildVocabulary(const TinyModel& model, Vocabulary* vocab, std::string* error) {
    vocab->texts = {"<unk>", "<s>", "</s>", "<|im_start|>", "<|im_end|>"};
    vocab->types = {kTypeUnknown, kTypeControl, kTypeControl, kTypeControl, kTypeControl};
    char name[64];
    // Every byte has a token, so any text tokenises: SentencePiece's byte
    // fallback, or byte-level BPE's alphabet.
    for (int byte = 0; byte < 256; ++byte) {
        if (model.vocabulary == TinyVocabulary::SentencePiece) {
            snprintf(name, sizeof name, "<0x%02X>", byte);
            vocab->texts.push_back(name);
            vocab->types.push_back(kTypeByte);
        } else {
            vocab->texts.push_back(ByteCharacter(static_cast<unsigned char>(byte)));
            vocab->types.push_back(kTypeNormal);
        }
    }
    // The loader keys tokens by text, so every text must be new; a byte piece keeps the
    // "<0xNN>" head the library decodes and gets a suffix that makes it unique.
    std::set<std::string> seen(vocab->texts.begin(), vocab->texts.end());
    for (size_t i = 0; i < model.pieces.size(); ++i) {
        const std::string& piece = model.pieces[i];
        std::string text;
        int32_t type = kTypeNormal;
        if (piece.empty()) {
            snprintf(name, sizeof name, "<|silent_%zu|>", i);
            text = name;
            type = kTypeControl;
        } else if (piece.size() == 1) {
            snprintf(name, sizeof name, "<0x%02X>#%zu", static_cast<unsigned char>(piece[0]), i);
            text = name;
            type = kTypeByte;
        } else {
            text = NormalTokenText(model, piece);
        }
        if (!seen.insert(text).second) {
            *error = "piece " + std::to_string(i) + " repeats the text of another token";
            return false;
        }
        vocab->texts.push_back(text);
        vocab->types.push_back(type);
    }
    for (int32_t i = 0; i < model.n_vocab_padding; ++i) {
        vocab->texts.push_back("[pad" + std::to_string(i) + "]");
        vocab->types.push_back(kTypeNormal);
    }
    return true;
}

bool CheckModel(const TinyModel& model, std::string* error) {
    const int n_pieces = static_cast<int>(model.pieces.size());
    for (const TinyEdge& edge : model.edges) {
        if (edge.from < kTinyAfterPrompt || edge.from >= n_pieces ||
            edge.to < kTinyEnd || edge.to == kTinyAfterPrompt || edge.to >= n_pieces) {
            *error = "an edge names a piece that does not exist";
            return false;
        }
        if (!std::isfinite(edge.logit)) {
            *error = "an edge has a logit that is not a finite number";
            return false;
        }
    }
    for (const TinyTensor& tensor : model.tensors) {
        const auto negative = [](int64_t size) { return size < 0; };
        if (tensor.shape.empty() || tensor.shape.size() > 4 ||
            std::any_of(tensor.shape.begin(), tensor.shape.end(), negative)) {
            *error = "tensor " + tensor.name + " needs 1 to 4 dimensions, none negative";
            return false;
        }
    }
    const int needed = kFirstPieceSlot + n_pieces;
    if (model.n_embd != 0 && (model.n_embd < needed || model.n_embd % 64 != 0)) {
        *error = "n_embd must be a multiple of 64 and at least " + std::to_string(needed);
        return false;
    }
    if (model.n_layer < 1 || model.n_ff < 0 || model.n_ff % 64 != 0 || model.n_vocab_padding < 0 ||
        model.n_ctx_train < 0) {
        *error = "layers must be at least 1; n_ff a multiple of 64; padding and context not negative";
        return false;
    }
    return true;
}

ggml_type TensorType(TinyWeightType type) {
    switch (type) {
        case TinyWeightType::F16: return GGML_TYPE_F16;
        case TinyWeightType::Q8_0: return GGML_TYPE_Q8_0;
        case TinyWeightType::F32: break;
    }
    return GGML_TYPE_F32;
}

// Owns the metadata context and the bytes of every tensor until the file is written.
struct TensorStore {
    ggml_context* meta = nullptr;
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    ~TensorStore() {
        if (meta) ggml_free(meta);
    }
};

// Adds a tensor of `type` filled from `values` (row-major, ne0 per row), or zero-filled
// when `values` is null.
void AddTensor(TensorStore* store, gguf_context* gguf, const std::string& name, ggml_type type,
               int64_t ne0, int64_t ne1, const float* values) {
    ggml_tensor* tensor = ne1 == 1 ? ggml_new_tensor_1d(store->meta, type, ne0)
                                   : ggml_new_tensor_2d(store->meta, type, ne0, ne1);
    ggml_set_name(tensor, name.c_str());
    const size_t n_bytes = ggml_nbytes(tensor);
    store->buffers.emplace_back(new uint8_t[n_bytes]());  // zero bytes are zero in every type used
    uint8_t* data = store->buffers.back().get();
    if (values) {
        if (type == GGML_TYPE_F32) {
            memcpy(data, values, n_bytes);
        } else if (type == GGML_TYPE_F16) {
            ggml_fp32_to_fp16_row(values, reinterpret_cast<ggml_fp16_t*>(data), ne0 * ne1);
        } else {
            ggml_quantize_chunk(type, values, data, 0, ne1, ne0, nullptr);
        }
    }
    tensor->data = data;
    gguf_add_tensor(gguf, tensor);
}

void AddZeroTensor(TensorStore* store, gguf_context* gguf, const TinyTensor& tiny) {
    ggml_tensor* tensor = ggml_new_tensor(store->meta, GGML_TYPE_F32, static_cast<int>(tiny.shape.size()),
                                          tiny.shape.data());
    ggml_set_name(tensor, tiny.name.c_str());
    store->buffers.emplace_back(new uint8_t[ggml_nbytes(tensor)]());
    tensor->data = store->buffers.back().get();
    gguf_add_tensor(gguf, tensor);
}

// Writes the file beside the target and renames it, so a failed write never
// leaves a half model. Frees `gguf`.
bool WriteFile(gguf_context* gguf, const std::string& path, std::string* error) {
    const std::string partial = path + ".partial";
    const bool written = gguf_write_to_file(gguf, partial.c_str(), false);
    gguf_free(gguf);
    if (!written || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        *error = "could not write " + path;
        return false;
    }
    return true;
}

int SlotOfPiece(int index) { return index == kTinyAfterPrompt ? kAfterPromptSlot : kFirstPieceSlot + index; }

int32_t TokenOfTarget(int to) { return to == kTinyEnd ? kTinyImEndToken : TinyPieceToken(to); }

void WriteHyperParameters(gguf_context* gguf, const TinyModel& model, int n_embd, int n_ff) {
    const std::string arch = model.architecture + ".";
    gguf_set_val_str(gguf, "general.architecture", model.architecture.c_str());
    gguf_set_val_str(gguf, "general.name", "velkin tiny model");
    gguf_set_val_u32(gguf, (arch + "context_length").c_str(), model.n_ctx_train);
    gguf_set_val_u32(gguf, (arch + "embedding_length").c_str(), n_embd);
    gguf_set_val_u32(gguf, (arch + "block_count").c_str(), model.n_layer);
    gguf_set_val_u32(gguf, (arch + "feed_forward_length").c_str(), n_ff);
    gguf_set_val_u32(gguf, (arch + "attention.head_count").c_str(), n_embd / kHeadWidth);
    gguf_set_val_u32(gguf, (arch + "attention.head_count_kv").c_str(), n_embd / kHeadWidth);
    gguf_set_val_f32(gguf, (arch + "attention.layer_norm_rms_epsilon").c_str(), 1e-5f);
    gguf_set_val_f32(gguf, (arch + "rope.freq_base").c_str(), 10000.0f);
    gguf_set_val_u32(gguf, "general.file_type", model.weight_type == TinyWeightType::F32 ? 0
                                              : model.weight_type == TinyWeightType::F16 ? 1 : 7);
}

void WriteVocabulary(gguf_context* gguf, const TinyModel& model, const Vocabulary& vocab) {
    std::vector<const char*> texts;
    for (const std::string& text : vocab.texts) texts.push_back(text.c_str());
    const std::vector<float> scores(vocab.texts.size(), 0.0f);
    if (model.vocabulary == TinyVocabulary::SentencePiece) {
        gguf_set_val_str(gguf, "tokenizer.ggml.model", "llama");
    } else {
        gguf_set_val_str(gguf, "tokenizer.ggml.model", "gpt2");
        gguf_set_val_str(gguf, "tokenizer.ggml.pre", "gpt-2");
        gguf_set_arr_str(gguf, "tokenizer.ggml.merges", nullptr, 0);  // none: text stays one token per byte
    }
    gguf_set_arr_str(gguf, "tokenizer.ggml.tokens", texts.data(), texts.size());
    gguf_set_arr_data(gguf, "tokenizer.ggml.scores", GGUF_TYPE_FLOAT32, scores.data(), scores.size());
    gguf_set_arr_data(gguf, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, vocab.types.data(), vocab.types.size());
    gguf_set_val_u32(gguf, "tokenizer.ggml.unknown_token_id", 0);
    gguf_set_val_u32(gguf, "tokenizer.ggml.bos_token_id", 1);
    gguf_set_val_u32(gguf, "tokenizer.ggml.eos_token_id", kTinyImEndToken);
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_bos_token", false);  // prompts tokenise to exactly their own bytes
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_eos_token", false);
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_space_prefix", false);
}

}  // namespace

int32_t TinyPieceToken(int index) { return kFirstPieceToken + index; }

TinyModel ScriptedReply(const std::string& text) {
    TinyModel model;
    for (char byte : text) model.pieces.push_back(std::string(1, byte));
    const int n = static_cast<int>(text.size());
    model.edges.push_back({kTinyAfterPrompt, n == 0 ? kTinyEnd : 0});
    for (int i = 0; i < n; ++i) model.edges.push_back({i, i + 1 < n ? i + 1 : kTinyEnd});
    return model;
}

TinyModel EndlessReply(const std::string& text) {
    TinyModel model = ScriptedReply(text.empty() ? std::string(" ") : text);
    model.edges.back().to = 0;  // the last piece leads back to the first
    return model;
}

TinyModel ImmediateEnd() { return ScriptedReply(""); }

bool WriteTinyModel(const TinyModel& model, const std::string& path, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!CheckModel(model, error)) return false;
    Vocabulary vocab;
    if (!BuildVocabulary(model, &vocab, error)) return false;

    // Shapes
    const int n_pieces = static_cast<int>(model.pieces.size());
    const int n_embd = model.n_embd ? model.n_embd : RoundUp(kFirstPieceSlot + n_pieces, 64);
    const int n_ff = model.n_ff ? model.n_ff : n_embd;
    const int64_t n_vocab = static_cast<int64_t>(vocab.texts.size());
    const ggml_type weight_type = TensorType(model.weight_type);

    // Table: each token's embedding is its slot; the output row of a token scores it per slot.
    // The final RMS norm scales a one-hot state by sqrt(n_embd), so the table divides by it.
    std::vector<float> embedding(n_vocab * n_embd, 0.0f);
    for (int64_t token = 0; token < n_vocab; ++token) embedding[token * n_embd + kOtherSlot] = 1.0f;
    embedding[kTinyLineFeedToken * n_embd + kOtherSlot] = 0.0f;
    embedding[kTinyLineFeedToken * n_embd + kAfterPromptSlot] = 1.0f;
    for (int i = 0; i < n_pieces; ++i) {
        embedding[TinyPieceToken(i) * n_embd + kOtherSlot] = 0.0f;
        embedding[TinyPieceToken(i) * n_embd + SlotOfPiece(i)] = 1.0f;
    }
    std::vector<float> output(n_vocab * n_embd, 0.0f);
    const float scale = 1.0f / std::sqrt(static_cast<float>(n_embd));
    for (const TinyEdge& edge : model.edges) {
        output[TokenOfTarget(edge.to) * n_embd + SlotOfPiece(edge.from)] = edge.logit * scale;
    }
    const std::vector<float> ones(std::max(n_embd, n_ff), 1.0f);

    // Tensors
    TensorStore store;
    const bool head_norms = model.architecture == kHunyuanDense;
    const size_t n_tensors = 3 + (head_norms ? 11 : 9) * static_cast<size_t>(model.n_layer) + model.tensors.size();
    ggml_init_params params = {n_tensors * ggml_tensor_overhead() + 1024, nullptr, true};
    store.meta = ggml_init(params);
    gguf_context* gguf = gguf_init_empty();
    if (!store.meta || !gguf) {
        if (gguf) gguf_free(gguf);
        *error = "out of memory";
        return false;
    }
    WriteHyperParameters(gguf, model, n_embd, n_ff);
    WriteVocabulary(gguf, model, vocab);
    for (const auto& [key, value] : model.header_u32) gguf_set_val_u32(gguf, key.c_str(), value);
    for (const auto& [key, value] : model.header_f32) gguf_set_val_f32(gguf, key.c_str(), value);
    for (const auto& [key, value] : model.header_bool) gguf_set_val_bool(gguf, key.c_str(), value);
    for (const auto& [key, value] : model.header_str) gguf_set_val_str(gguf, key.c_str(), value.c_str());
    for (const auto& [key, values] : model.header_bool_array) {
        gguf_set_arr_data(gguf, key.c_str(), GGUF_TYPE_BOOL, values.data(), values.size());
    }
    for (const auto& [key, values] : model.header_u32_array) {
        gguf_set_arr_data(gguf, key.c_str(), GGUF_TYPE_UINT32, values.data(), values.size());
    }
    for (const auto& [key, values] : model.header_str_array) {
        std::vector<const char*> texts;
        for (const std::string& value : values) texts.push_back(value.c_str());
        gguf_set_arr_str(gguf, key.c_str(), texts.data(), texts.size());
    }
    for (const TinyTensor& tensor : model.tensors) AddZeroTensor(&store, gguf, tensor);
    if (!model.tensors.empty()) return WriteFile(gguf, path, error);
    AddTensor(&store, gguf, "token_embd.weight", weight_type, n_embd, n_vocab, embedding.data());
    AddTensor(&store, gguf, "output_norm.weight", GGML_TYPE_F32, n_embd, 1, ones.data());
    AddTensor(&store, gguf, "output.weight", weight_type, n_embd, n_vocab, output.data());
    for (int layer = 0; layer < model.n_layer; ++layer) {
        const std::string blk = "blk." + std::to_string(layer) + ".";
        AddTensor(&store, gguf, blk + "attn_norm.weight", GGML_TYPE_F32, n_embd, 1, ones.data());
        for (const char* name : {"attn_q.weight", "attn_k.weight", "attn_v.weight", "attn_output.weight"}) {
            AddTensor(&store, gguf, blk + name, weight_type, n_embd, n_embd, nullptr);
        }
        if (head_norms) {
            AddTensor(&store, gguf, blk + "attn_q_norm.weight", GGML_TYPE_F32, kHeadWidth, 1, ones.data());
            AddTensor(&store, gguf, blk + "attn_k_norm.weight", GGML_TYPE_F32, kHeadWidth, 1, ones.data());
        }
        AddTensor(&store, gguf, blk + "ffn_norm.weight", GGML_TYPE_F32, n_embd, 1, ones.data());
        AddTensor(&store, gguf, blk + "ffn_gate.weight", weight_type, n_embd, n_ff, nullptr);
        AddTensor(&store, gguf, blk + "ffn_up.weight", weight_type, n_embd, n_ff, nullptr);
        AddTensor(&store, gguf, blk + "ffn_down.weight", weight_type, n_ff, n_embd, nullptr);
    }

    return WriteFile(gguf, path, error);
}
