// Reads a model file's metadata with gguf's own reader and checks the values
// that the library's hyper-parameter reading asserts on or divides by. Loader thread.

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
