// Reads a model file's metadata with gguf's own reader and checks the values
// that the library's hyper-parameter reading asserts on. Loader thread.

#include "model_header.h"

#include <algorithm>
#include <cstdint>
#include <optional>

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

    // A 32-bit unsigned key; `fallback` when missing, none when required.
    Read Unsigned(const char* suffix, Read fallback) const {
        const int64_t id = gguf_find_key(gguf, Key(suffix).c_str());
        if (id < 0) return fallback;
        if (gguf_get_kv_type(gguf, id) != GGUF_TYPE_UINT32) return std::nullopt;
        return gguf_get_val_u32(gguf, id);
    }
};

std::string Bad(const std::string& key, uint64_t value, const std::string& allowed) {
    return key + " is " + std::to_string(value) + "; " + allowed;
}

// The most experts any layer uses: one value for every layer, or one per layer
// (32-bit values read as unsigned, or booleans read as 0 and 1).
Read MostExpertsUsed(const Header& header, uint32_t n_layer) {
    const int64_t id = gguf_find_key(header.gguf, header.Key("expert_used_count").c_str());
    if (id < 0) return 0;
    if (gguf_get_kv_type(header.gguf, id) != GGUF_TYPE_ARRAY) return header.Unsigned("expert_used_count", 0);
    const gguf_type type = gguf_get_arr_type(header.gguf, id);
    if (gguf_get_arr_n(header.gguf, id) != n_layer) return std::nullopt;
    const void* data = gguf_get_arr_data(header.gguf, id);
    if (type == GGUF_TYPE_BOOL) {
        const int8_t* values = static_cast<const int8_t*>(data);
        return std::any_of(values, values + n_layer, [](int8_t value) { return value != 0; }) ? 1 : 0;
    }
    if (type != GGUF_TYPE_UINT32 && type != GGUF_TYPE_INT32) return std::nullopt;
    const uint32_t* values = static_cast<const uint32_t*>(data);
    return *std::max_element(values, values + n_layer);
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
    Read n_expert = header.Unsigned("expert_count", 0);
    Read n_used = n_expert ? MostExpertsUsed(header, *n_layer) : std::nullopt;
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
