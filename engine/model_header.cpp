// Reads a model file's metadata with gguf's own reader and checks the values
// that the library's hyper-parameter reading, or its building of an
// architecture's tensors and graph, asserts on or divides by. Loader thread.

#include "model_header.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "gguf.h"
#include "llama-hparams.h"  // the library's own limits: LLAMA_MAX_LAYERS, LLAMA_MAX_EXPERTS

namespace {

// What the library reads of a key: its value, the fallback when it is missing, or
// nothing when the library refuses the file over it (missing though required, or
// of another type), which ends the reading before any assertion.
using Read = std::optional<uint32_t>;

struct Header {
    const gguf_context* gguf = nullptr;
    std::string arch;

    std::string Key(const char* suffix) const { return arch + "." + suffix; }
    int64_t Find(const char* suffix) const { return gguf_find_key(gguf, Key(suffix).c_str()); }

    // A 32-bit unsigned key; `fallback` when missing, none when required.
    Read Unsigned(const char* suffix, Read fallback) const {
        const int64_t id = Find(suffix);
        if (id < 0) return fallback;
        if (gguf_get_kv_type(gguf, id) != GGUF_TYPE_UINT32) return std::nullopt;
        return gguf_get_val_u32(gguf, id);
    }
    // A 32-bit float key, read the same way.
    std::optional<float> Float(const char* suffix, std::optional<float> fallback) const {
        const int64_t id = Find(suffix);
        if (id < 0) return fallback;
        if (gguf_get_kv_type(gguf, id) != GGUF_TYPE_FLOAT32) return std::nullopt;
        return gguf_get_val_f32(gguf, id);
    }
    // A boolean key, read the same way.
    std::optional<bool> Bool(const char* suffix, std::optional<bool> fallback) const {
        const int64_t id = Find(suffix);
        if (id < 0) return fallback;
        if (gguf_get_kv_type(gguf, id) != GGUF_TYPE_BOOL) return std::nullopt;
        return gguf_get_val_bool(gguf, id);
    }

    // A value for each of `n_layer` layers: one 32-bit unsigned value for every
    // layer, or an array of one per layer (32-bit values read as unsigned,
    // booleans as 0 and 1); zeros when missing, none when the library refuses it.
    std::optional<std::vector<uint32_t>> PerLayer(const char* suffix, uint32_t n_layer) const {
        const int64_t id = Find(suffix);
        if (id < 0) return std::vector<uint32_t>(n_layer, 0);
        if (gguf_get_kv_type(gguf, id) != GGUF_TYPE_ARRAY) {
            const Read value = Unsigned(suffix, std::nullopt);
            if (!value) return std::nullopt;
            return std::vector<uint32_t>(n_layer, *value);
        }
        const gguf_type type = gguf_get_arr_type(gguf, id);
        if (gguf_get_arr_n(gguf, id) != n_layer) return std::nullopt;
        if (type == GGUF_TYPE_BOOL) {
            const int8_t* values = static_cast<const int8_t*>(gguf_get_arr_data(gguf, id));
            std::vector<uint32_t> layers(n_layer);
            std::transform(values, values + n_layer, layers.begin(), [](int8_t value) { return value != 0; });
            return layers;
        }
        // Checked before the data is asked for: a string array has none to give.
        if (type != GGUF_TYPE_UINT32 && type != GGUF_TYPE_INT32) return std::nullopt;
        const uint32_t* values = static_cast<const uint32_t*>(gguf_get_arr_data(gguf, id));
        return std::vector<uint32_t>(values, values + n_layer);
    }
};

std::string Bad(const std::string& key, const std::string& value, const std::string& allowed) {
    return key + " is " + value + "; " + allowed;
}
std::string Bad(const std::string& key, uint64_t value, const std::string& allowed) {
    return Bad(key, std::to_string(value), allowed);
}

std::string CheckExperts(const Header& header, uint32_t n_expert, uint32_t n_used, uint32_t n_groups,
                         uint32_t n_groups_used) {
    const std::string count_key = header.Key("expert_count");
    const std::string used_key = header.Key("expert_used_count");
    const std::string groups_key = header.Key("expert_group_count");
    const std::string groups_used_key = header.Key("expert_group_used_count");
    if (n_expert > LLAMA_MAX_EXPERTS) {
        return Bad(count_key, n_expert, "at most " + std::to_string(LLAMA_MAX_EXPERTS) + " is supported");
    }
    if (n_used > n_expert) return Bad(used_key, n_used, "more than the " + std::to_string(n_expert) + " experts");
    if (n_expert == 0) {
        if (n_groups != 0) return Bad(groups_key, n_groups, "a model without experts has no groups");
        return "";
    }
    if (n_used == 0) return Bad(used_key, 0, "a model with experts must use some");
    if (n_groups >= n_expert) return Bad(groups_key, n_groups, "must be fewer than the experts");
    if (n_groups > 1) {
        if (n_expert % n_groups != 0) return Bad(groups_key, n_groups, "must divide the experts");
        if (n_groups_used == 0 || n_groups_used >= n_groups) {
            return Bad(groups_used_key, n_groups_used, "must be between 1 and the groups less one");
        }
    }
    return "";
}

std::string CheckRopeScaling(const Header& header) {
    const std::string key = header.Key("rope.scaling.type");
    const int64_t id = gguf_find_key(header.gguf, key.c_str());
    if (id < 0 || gguf_get_kv_type(header.gguf, id) != GGUF_TYPE_STRING) return "";
    const std::string type = gguf_get_val_str(header.gguf, id);
    // The library keeps these names in a table of its own source file, which no header shows.
    for (const char* known : {"none", "linear", "yarn", "longrope"}) {
        if (type == known) return "";
    }
    return key + " is \"" + type + "\"; none, linear, yarn or longrope is supported";
}

// nanbeige runs its layers num_loops times over, as that many layers in all.
std::string CheckLoops(const Header& header, uint32_t n_layer) {
    const Read n_loops = header.Unsigned("num_loops", 1);
    if (!n_loops) return "";
    const std::string key = header.Key("num_loops");
    if (*n_loops == 0) return Bad(key, 0, "the layers must run at least once");
    if (static_cast<uint64_t>(n_layer) * *n_loops > LLAMA_MAX_LAYERS) {
        return Bad(key, *n_loops, std::to_string(n_layer) + " layers run that often are more than the " +
                                      std::to_string(LLAMA_MAX_LAYERS) + " supported");
    }
    return "";
}

// gemma-embedding's dense layers take and give vectors of the embedding length.
std::string CheckDenseFeatures(const Header& header) {
    const Read n_embd = header.Unsigned("embedding_length", std::nullopt);
    const Read feat_in = header.Unsigned("dense_2_feat_in", 0);
    const Read feat_out = header.Unsigned("dense_3_feat_out", 0);
    if (!n_embd || !feat_in || !feat_out) return "";
    for (const auto& [suffix, value] :
         {std::pair{"dense_2_feat_in", *feat_in}, std::pair{"dense_3_feat_out", *feat_out}}) {
        if (value != 0 && value != *n_embd) {
            return Bad(header.Key(suffix), value, "must be 0 or the embedding length, " + std::to_string(*n_embd));
        }
    }
    return "";
}

// bailingmoe3's linear attention supports only its safe gate, bounded below 0.
std::string CheckKdaGate(const Header& header) {
    const std::optional<bool> safe = header.Bool("kda.safe_gate", true);
    const std::optional<float> lower_bound = header.Float("kda.gate_lower_bound", std::nullopt);
    if (!safe || !lower_bound) return "";
    if (!*safe) return Bad(header.Key("kda.safe_gate"), "false", "only the safe gate is supported");
    if (!(*lower_bound < 0.0f)) {  // not a number fails too
        char text[32];
        snprintf(text, sizeof text, "%g", *lower_bound);
        return Bad(header.Key("kda.gate_lower_bound"), text, "must be below 0");
    }
    return "";
}

// deepseek4 keeps one compression ratio per layer in a table of the most layers.
std::string CheckCompressRatios(const Header& header) {
    const int64_t id = header.Find("attention.compress_ratios");
    if (id < 0 || gguf_get_kv_type(header.gguf, id) != GGUF_TYPE_ARRAY) return "";
    const size_t n_ratios = gguf_get_arr_n(header.gguf, id);
    if (n_ratios <= LLAMA_MAX_LAYERS) return "";
    return header.Key("attention.compress_ratios") + " has " + std::to_string(n_ratios) + " entries; at most " +
           std::to_string(LLAMA_MAX_LAYERS) + " are supported";
}

// dflash with hyper-connections divides by its output groups and keeps a sliding window.
std::string CheckHyperConnections(const Header& header) {
    const Read n_connections = header.Unsigned("hyper_connection.count", 0);
    if (!n_connections || *n_connections == 0) return "";
    const Read n_window = header.Unsigned("attention.sliding_window", std::nullopt);
    const Read n_groups = header.Unsigned("attention.output_group_count", std::nullopt);
    if (!n_window || !n_groups) return "";
    for (const auto& [suffix, value] : {std::pair{"attention.output_group_count", *n_groups},
                                        std::pair{"attention.sliding_window", *n_window}}) {
        if (value == 0) return Bad(header.Key(suffix), 0, "a model with hyper-connections needs at least 1");
    }
    return "";
}

// A value the library divides by.
std::string CheckDivisor(const Header& header, const char* suffix, Read fallback) {
    const Read value = header.Unsigned(suffix, fallback);
    return value && *value == 0 ? Bad(header.Key(suffix), 0, "must be at least 1") : "";
}

// Hybrid models without a list of their recurrent layers make every layer whose
// number the full attention interval (`usual` when missing) does not divide recurrent.
std::string CheckFullAttentionInterval(const Header& header, uint32_t n_layer, uint32_t usual) {
    if (header.Find("attention.recurrent_layers") >= 0 || n_layer == 0) return "";
    return CheckDivisor(header, "full_attention_interval", usual);
}

// gemma2's and gemma3's largest models scale attention by the embedding length
// over the first layer's heads.
std::string CheckAttentionHeads(const Header& header, uint32_t n_layer_all, uint32_t n_layer,
                                uint32_t n_layer_largest) {
    if (n_layer != n_layer_largest) return "";
    const auto n_head = header.PerLayer("attention.head_count", n_layer_all);
    if (!n_head || (*n_head)[0] != 0) return "";
    return Bad(header.Key("attention.head_count"), 0,
               "a model of " + std::to_string(n_layer) + " layers needs attention heads");
}

// What a model's attention reads: per-layer head counts, and the head lengths
// and rotary dimensions of its full-attention layers, with the library's fallbacks.
struct Attention {
    uint32_t n_embd = 0;
    std::vector<uint32_t> n_head;
    std::vector<uint32_t> n_head_kv;
    uint32_t key_length = 0;
    uint32_t value_length = 0;
    uint32_t rope_dimensions = 0;
};

// None when the library refuses one of the values itself.
std::optional<Attention> ReadAttention(const Header& header, uint32_t n_layer_all) {
    Attention attention;
    const Read n_embd = header.Unsigned("embedding_length", std::nullopt);
    auto n_head = header.PerLayer("attention.head_count", n_layer_all);
    if (!n_embd || !n_head) return std::nullopt;
    attention.n_embd = *n_embd;
    attention.n_head = *n_head;
    if (header.Find("attention.head_count_kv") < 0) {
        attention.n_head_kv = attention.n_head;
    } else {
        auto n_head_kv = header.PerLayer("attention.head_count_kv", n_layer_all);
        if (!n_head_kv) return std::nullopt;
        attention.n_head_kv = *n_head_kv;
    }
    if (attention.n_head[0] == 0) return attention;  // no attention: the lengths are not read
    const Read key_length = header.Unsigned("attention.key_length", *n_embd / attention.n_head[0]);
    const Read value_length = header.Unsigned("attention.value_length", *n_embd / attention.n_head[0]);
    if (!key_length || !value_length) return std::nullopt;
    const Read rope_dimensions = header.Unsigned("rope.dimension_count", *key_length);
    if (!rope_dimensions) return std::nullopt;
    attention.key_length = *key_length;
    attention.value_length = *value_length;
    attention.rope_dimensions = *rope_dimensions;
    return attention;
}

// What building an architecture's tensors or its graph, on making a context,
// asserts on or divides by.
enum class Need {
    kExperts,             // expert_count and the first layer's expert_used_count at least 1
    kExpertsAfterDenseLayers,  // the same when leading_dense_block_count leaves layers for experts
    kEqualHeadLengths,    // value_length equal to key_length
    kRopeOverWholeHeads,  // rope.dimension_count equal to the head length
    kWholeHeadGroups,     // each layer's head_count a multiple of its head_count_kv
    kHeadsInFirstLayer,   // the first layer's head_count at least 1: the embedding is divided by it
    kHeadsFillEmbedding,  // the first layer's head_count times the key length equal to embedding_length
    kRopeBelowKeyLength,  // rope.dimension_count below the key length (attention.key_length_mla when given)
    kDoubleInnerSize,     // ssm.inner_size twice the embedding length
    kWkvHeadSize,         // wkv.head_size at least 1: the embedding is divided by it
    kExpertsPerGroup,     // experts_per_group at least 1: the experts are divided by it
    kSameDecoderWidths,   // posnet.embedding_length equal to convnext.embedding_length
    kKnownPosnetLayers,   // posnet.block_count at most the 6 layers the decoder knows
};

struct ArchitectureNeed {
    std::vector<std::string> architectures;
    Need need;
};

// Found by loading tiny files of each architecture whose tensors match their header.
const ArchitectureNeed kArchitectureNeeds[] = {
    {{"bailingmoe2", "glm4moe", "grovemoe", "llada-moe", "qwen35moe", "smallthinker"}, Need::kExperts},
    {{"lfm2moe"}, Need::kExpertsAfterDenseLayers},
    {{"apertus",     "arcee",        "baichuan",       "bitnet",    "bloom",      "chameleon",   "chatglm",
      "codeshell",   "cogvlm",       "deci",           "dream",     "ernie4_5",   "eurobert",    "exaone",
      "exaone4",     "falcon",       "falcon-h1",      "gemma-embedding",         "gemma3",      "gemma3n",
      "glm4",        "gpt2",         "gptneox",        "granite",   "granitehybrid",             "granitemoe",
      "hunyuan-dense",               "hunyuan_vl",     "hy_v3",     "internlm2",  "jais",        "jais2",
      "jamba",       "llada",        "llama",          "llama-embed",             "maincoder",   "minicpm",
      "mistral3",    "modern-bert",  "mpt",            "muse-glimmer",            "nanbeige",    "nemotron",
      "nemotron_h",  "nemotron_h_moe",                 "neo-bert",  "olmo",       "olmo2",       "orion",
      "paddleocr",   "pangu-embedded",                 "phi2",      "phi3",       "plamo",       "qwen",
      "qwen2",       "qwen2vl",      "qwen3",          "qwen35",    "qwen3tts",   "qwen3vl",     "refact",
      "seed_oss",    "smollm3",      "stablelm",       "starcoder", "starcoder2", "t5",          "t5encoder",
      "talkie",      "xverse"},
     Need::kEqualHeadLengths},
    {{"apertus",  "arcee",     "baichuan",  "chameleon", "codeshell",  "cogvlm",       "dream",    "ernie4_5",
      "exaone",   "exaone4",   "granite",   "granitemoe",            "hunyuan-dense", "hunyuan_vl", "hy_v3",
      "internlm2",             "jais2",     "llada",     "maincoder",  "minicpm",      "mistral3", "olmo",
      "olmo2",    "orion",     "paddleocr", "pangu-embedded",        "plamo",        "qwen2",    "qwen2vl",
      "qwen3",    "qwen3tts",  "qwen3vl",   "seed_oss",  "smollm3",    "starcoder2",   "talkie",   "xverse"},
     Need::kRopeOverWholeHeads},
    {{"apertus",   "arcee",      "baichuan",  "bitnet",    "bloom",      "chameleon",     "chatglm",    "codeshell",
      "cogvlm",    "deci",       "dream",     "ernie4_5",  "eurobert",   "exaone",        "exaone4",    "falcon",
      "falcon-h1", "gemma-embedding",         "gemma3",    "gemma3n",    "glm4",          "gpt2",       "gptneox",
      "granite",   "granitehybrid",           "granitemoe", "hunyuan-dense",              "hunyuan_vl", "hy_v3",
      "internlm2", "jais",       "jamba",     "lfm2",      "llada",      "llama",         "llama-embed",
      "maincoder", "mimo2",      "minicpm",   "mistral3",  "modern-bert", "mpt",          "muse-glimmer",
      "nanbeige",  "nemotron",   "neo-bert",  "olmo",      "olmo2",      "orion",         "paddleocr",
      "pangu-embedded",          "phi2",      "phi3",      "plamo",      "plamo2",        "plamo3",     "qwen",
      "qwen2",     "qwen2vl",    "qwen3",     "qwen3tts",  "qwen3vl",    "refact",        "seed_oss",   "smollm3",
      "stablelm",  "starcoder",  "starcoder2", "step35",   "talkie",     "xverse"},
     Need::kWholeHeadGroups},
    {{"olmo2", "phimoe"}, Need::kHeadsInFirstLayer},
    {{"arctic", "baichuan", "bitnet", "bloom", "chameleon", "chatglm", "codeshell", "cohere2", "command-r", "dbrx",
      "deepseek", "deepseek2-ocr", "dream", "eurobert", "exaone4", "falcon", "gpt2", "gptneox", "grok", "internlm2",
      "jais", "jamba", "lfm2", "lfm2moe", "llada-moe", "modern-bert", "mpt", "nemotron", "neo-bert", "olmo",
      "olmo2", "olmoe", "orion", "phi2", "phi3", "phimoe", "plamo", "pockettts", "qwen", "qwen2", "qwen2moe",
      "qwen2vl", "stablelm", "starcoder", "starcoder2", "xverse"},
     Need::kHeadsFillEmbedding},
    {{"deepseek2", "mistral4"}, Need::kRopeBelowKeyLength},
    {{"granitehybrid", "jamba"}, Need::kDoubleInnerSize},
    {{"rwkv6qwen2"}, Need::kWkvHeadSize},
    {{"grovemoe"}, Need::kExpertsPerGroup},
    {{"wavtokenizer-dec"}, Need::kKnownPosnetLayers},
    {{"wavtokenizer-dec"}, Need::kSameDecoderWidths},
};

// An unsigned key that must equal `expected` (named by `what`).
std::string CheckEqual(const Header& header, const char* suffix, uint32_t value, uint32_t expected,
                       const std::string& what) {
    return value == expected ? "" : Bad(header.Key(suffix), value, "must be " + what + ", " + std::to_string(expected));
}

// These architectures' graphs cut the embedding into the first layer's heads of
// the key length, which must add up to it exactly. A key length derived from the
// embedding misses only when the heads do not divide it.
std::string CheckHeadsFillEmbedding(const Header& header, const Attention& attention) {
    const uint32_t n_head = attention.n_head[0];
    if (n_head == 0) return "";
    if (attention.n_embd % n_head != 0) {
        return Bad(header.Key("attention.head_count"), n_head,
                   "must divide the embedding length, " + std::to_string(attention.n_embd));
    }
    return CheckEqual(header, "attention.key_length", attention.key_length, attention.n_embd / n_head,
                      "the embedding length over the attention heads");
}

std::string CheckNeed(const Header& header, Need need, uint32_t n_layer_all, uint32_t n_layer) {
    switch (need) {
        case Need::kExpertsAfterDenseLayers: {
            const Read n_dense = header.Unsigned("leading_dense_block_count", 0);
            if (!n_dense || *n_dense >= n_layer) return "";
            return CheckNeed(header, Need::kExperts, n_layer_all, n_layer);
        }
        case Need::kExperts: {
            const auto n_used = header.PerLayer("expert_used_count", n_layer_all);
            if (!n_used) return "";
            const std::string bad = CheckDivisor(header, "expert_count", 0);
            if (!bad.empty()) return bad;
            return (*n_used)[0] == 0 ? Bad(header.Key("expert_used_count"), 0, "the first layer must use experts") : "";
        }
        case Need::kEqualHeadLengths:
        case Need::kRopeOverWholeHeads:
        case Need::kWholeHeadGroups:
        case Need::kHeadsInFirstLayer:
        case Need::kHeadsFillEmbedding: {
            const auto attention = ReadAttention(header, n_layer_all);
            if (!attention) return "";
            if (need == Need::kHeadsInFirstLayer) {
                return attention->n_head[0] == 0 ? Bad(header.Key("attention.head_count"), 0, "must be at least 1") : "";
            }
            if (need == Need::kHeadsFillEmbedding) return CheckHeadsFillEmbedding(header, *attention);
            if (need == Need::kEqualHeadLengths) {
                return CheckEqual(header, "attention.value_length", attention->value_length, attention->key_length,
                                  "the key length");
            }
            if (need == Need::kRopeOverWholeHeads) {
                return CheckEqual(header, "rope.dimension_count", attention->rope_dimensions,
                                  attention->value_length, "the head length");
            }
            for (uint32_t il = 0; il < n_layer_all; ++il) {
                const uint32_t n_head = attention->n_head[il];
                const uint32_t n_head_kv = attention->n_head_kv[il];
                if (n_head_kv != 0 && n_head % n_head_kv != 0) {
                    return Bad(header.Key("attention.head_count_kv"), n_head_kv,
                               "must divide the " + std::to_string(n_head) + " attention heads");
                }
            }
            return "";
        }
        case Need::kRopeBelowKeyLength: {
            const auto attention = ReadAttention(header, n_layer_all);
            const Read key_length_mla = header.Unsigned("attention.key_length_mla", 0);
            const Read value_length_mla = header.Unsigned("attention.value_length_mla", 0);
            if (!attention || !key_length_mla || !value_length_mla) return "";
            const bool mla = *key_length_mla != 0 && *value_length_mla != 0;
            const uint32_t key_length = mla ? *key_length_mla : attention->key_length;
            if (attention->rope_dimensions < key_length) return "";
            return Bad(header.Key("rope.dimension_count"), attention->rope_dimensions,
                       "must be below the key length, " + std::to_string(key_length));
        }
        case Need::kDoubleInnerSize: {
            const Read n_embd = header.Unsigned("embedding_length", std::nullopt);
            const Read inner_size = header.Unsigned("ssm.inner_size", std::nullopt);
            if (!n_embd || !inner_size) return "";
            return CheckEqual(header, "ssm.inner_size", *inner_size, 2 * *n_embd, "twice the embedding length");
        }
        case Need::kWkvHeadSize: return CheckDivisor(header, "wkv.head_size", std::nullopt);
        case Need::kExpertsPerGroup: return CheckDivisor(header, "experts_per_group", std::nullopt);
        case Need::kKnownPosnetLayers: {
            const Read n_posnet = header.Unsigned("posnet.block_count", std::nullopt);
            return n_posnet && *n_posnet > 6 ? Bad(header.Key("posnet.block_count"), *n_posnet, "at most 6 are supported")
                                             : "";
        }
        case Need::kSameDecoderWidths: {
            const Read posnet = header.Unsigned("posnet.embedding_length", std::nullopt);
            const Read convnext = header.Unsigned("convnext.embedding_length", std::nullopt);
            if (!posnet || !convnext) return "";
            return CheckEqual(header, "convnext.embedding_length", *convnext, *posnet, "the posnet's");
        }
    }
    return "";
}

// What one architecture's own reading asserts on or divides by as zero. The library
// reads other keys of the architecture first and may refuse the file over one
// of those instead, which ends the loading as surely.
std::string CheckArchitecture(const Header& header, uint32_t n_layer_all, uint32_t n_layer) {
    const std::string& arch = header.arch;
    if (arch == "nanbeige") return CheckLoops(header, n_layer);
    if (arch == "gemma-embedding") return CheckDenseFeatures(header);
    if (arch == "bailingmoe3") return CheckKdaGate(header);
    if (arch == "deepseek4") return CheckCompressRatios(header);
    if (arch == "dflash") return CheckHyperConnections(header);
    if (arch == "minimax-m3") return CheckDivisor(header, "attention.indexer.block_size", std::nullopt);
    if (arch == "qwen35" || arch == "qwen35moe" || arch == "qwen3next") {
        return CheckFullAttentionInterval(header, n_layer, 4);
    }
    if (arch == "minimax-01") return CheckFullAttentionInterval(header, n_layer, 8);
    if (arch == "gemma2") return CheckAttentionHeads(header, n_layer_all, n_layer, 46);
    if (arch == "gemma3") return CheckAttentionHeads(header, n_layer_all, n_layer, 62);
    return "";
}

// What building the architecture's tensors and graph asserts on or divides by,
// checked once the library's reading of the header would have passed.
std::string CheckArchitectureNeeds(const Header& header, uint32_t n_layer_all, uint32_t n_layer) {
    for (const ArchitectureNeed& row : kArchitectureNeeds) {
        const auto& names = row.architectures;
        if (std::find(names.begin(), names.end(), header.arch) == names.end()) continue;
        const std::string bad = CheckNeed(header, row.need, n_layer_all, n_layer);
        if (!bad.empty()) return bad;
    }
    return "";
}

// The library's checks, in the order it reads the values.
std::string CheckHyperParameters(const Header& header) {
    if (header.arch == "clip") return "";  // the library reads no hyper-parameters for it

    // Layers: the library's per-layer arrays hold LLAMA_MAX_LAYERS entries.
    const Read n_layer = header.Unsigned("block_count", std::nullopt);
    if (!n_layer) return "";
    if (*n_layer == 0 || *n_layer > LLAMA_MAX_LAYERS) {
        return Bad(header.Key("block_count"), *n_layer,
                   "1 to " + std::to_string(LLAMA_MAX_LAYERS) + " layers are supported");
    }
    const Read n_nextn = header.Unsigned("nextn_predict_layers", 0);
    if (!n_nextn) return "";
    if (*n_nextn > *n_layer) {
        return Bad(header.Key("nextn_predict_layers"), *n_nextn, "more than the " + std::to_string(*n_layer) + " layers");
    }

    // Experts: hunyuan's dense models read 1 expert or none as no experts, used by none.
    // Layers may use different numbers of experts; the most any uses counts.
    Read n_expert = header.Unsigned("expert_count", 0);
    Read n_used;
    if (n_expert) {
        const auto n_used_per_layer = header.PerLayer("expert_used_count", *n_layer);
        if (n_used_per_layer) n_used = *std::max_element(n_used_per_layer->begin(), n_used_per_layer->end());
    }
    const Read n_groups = n_used ? header.Unsigned("expert_group_count", 0) : std::nullopt;
    const Read n_groups_used = n_groups ? header.Unsigned("expert_group_used_count", 0) : std::nullopt;
    if (!n_groups_used) return "";
    if ((header.arch == "hunyuan_vl" || header.arch == "hunyuan-dense") && *n_expert <= 1) {
        n_expert = 0;
        n_used = 0;
    }

    // A wavtokenizer's decoder stacks have no more layers than the model; both
    // counts are read before either is checked.
    if (header.arch == "wavtokenizer-dec") {
        const Read n_posnet = header.Unsigned("posnet.block_count", std::nullopt);
        const Read n_convnext = header.Unsigned("convnext.block_count", std::nullopt);
        if (!n_posnet || !n_convnext) return "";
        for (const auto& [suffix, n_stack] : {std::pair{"posnet.block_count", *n_posnet},
                                              std::pair{"convnext.block_count", *n_convnext}}) {
            if (n_stack > *n_layer) {
                return Bad(header.Key(suffix), n_stack, "more than the " + std::to_string(*n_layer) + " layers");
            }
        }
    }

    std::string bad = CheckExperts(header, *n_expert, *n_used, *n_groups, *n_groups_used);
    if (bad.empty()) bad = CheckRopeScaling(header);
    if (bad.empty()) bad = CheckArchitecture(header, *n_layer, *n_layer - *n_nextn);
    if (bad.empty()) bad = CheckArchitectureNeeds(header, *n_layer, *n_layer - *n_nextn);
    return bad;
}

}  // namespace

std::string FindBadHeaderValue(const std::string& path) {
    gguf_init_params params = {true, nullptr};  // metadata only: no tensor data is read
    gguf_context* gguf = gguf_init_from_file(path.c_str(), params);
    if (!gguf) return "";
    std::string bad;
    const int64_t arch_id = gguf_find_key(gguf, "general.architecture");
    if (arch_id >= 0 && gguf_get_kv_type(gguf, arch_id) == GGUF_TYPE_STRING) {
        bad = CheckHyperParameters(Header{gguf, gguf_get_val_str(gguf, arch_id)});
    }
    gguf_free(gguf);
    return bad;
}
