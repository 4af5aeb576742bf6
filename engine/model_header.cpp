// Reads a model file's metadata with gguf's own reader and checks the values
// that the library's hyper-parameter reading asserts on. Loader thread.

#include "model_header.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "gguf.h"

namespace {

// Limits the library's arrays put on a model (LLAMA_MAX_LAYERS, LLAMA_MAX_EXPERTS).
constexpr uint32_t kMaxLayers = 512;
constexpr uint32_t kMaxExperts = 1024;

struct Header {
    const gguf_context* gguf = nullptr;
    std::string arch;

    std::string Key(const char* suffix) const { return arch + "." + suffix; }

    // The key's value when it is a 32-bit unsigned scalar, as the library reads it;
    // a key of another type the library refuses on its own.
    std::optional<uint32_t> Unsigned(const char* suffix) const {
        const int64_t id = gguf_find_key(gguf, Key(suffix).c_str());
        if (id < 0 || gguf_get_kv_type(gguf, id) != GGUF_TYPE_UINT32) return std::nullopt;
        return gguf_get_val_u32(gguf, id);
    }
};

std::string Bad(const std::string& key, uint64_t value, const std::string& allowed) {
    return key + " is " + std::to_string(value) + "; " + allowed;
}

// The most experts any layer uses: one value for every layer, or one per layer.
uint32_t MostExpertsUsed(const Header& header, uint32_t n_layer) {
    const int64_t id = gguf_find_key(header.gguf, header.Key("expert_used_count").c_str());
    if (id < 0) return 0;
    if (gguf_get_kv_type(header.gguf, id) == GGUF_TYPE_UINT32) return gguf_get_val_u32(header.gguf, id);
    if (gguf_get_kv_type(header.gguf, id) != GGUF_TYPE_ARRAY) return 0;
    const gguf_type type = gguf_get_arr_type(header.gguf, id);
    if (type != GGUF_TYPE_UINT32 && type != GGUF_TYPE_INT32) return 0;  // the library refuses other arrays
    if (gguf_get_arr_n(header.gguf, id) != n_layer) return 0;           // and arrays of another length
    const uint32_t* values = static_cast<const uint32_t*>(gguf_get_arr_data(header.gguf, id));
    return n_layer == 0 ? 0 : *std::max_element(values, values + n_layer);
}

std::string CheckExperts(const Header& header, uint32_t n_layer) {
    const uint32_t n_expert = header.Unsigned("expert_count").value_or(0);
    const uint32_t n_used = MostExpertsUsed(header, n_layer);
    const uint32_t n_groups = header.Unsigned("expert_group_count").value_or(0);
    const uint32_t n_groups_used = header.Unsigned("expert_group_used_count").value_or(0);
    const std::string count_key = header.Key("expert_count");
    const std::string used_key = header.Key("expert_used_count");
    const std::string groups_key = header.Key("expert_group_count");
    const std::string groups_used_key = header.Key("expert_group_used_count");
    if (n_expert > kMaxExperts) return Bad(count_key, n_expert, "at most 1024 is supported");
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
    for (const char* known : {"none", "linear", "yarn", "longrope"}) {
        if (type == known) return "";
    }
    return key + " is \"" + type + "\"; none, linear, yarn or longrope is supported";
}

std::string CheckHyperParameters(const Header& header) {
    // Layers: the library reads per-layer arrays of at most 512 entries.
    const std::optional<uint32_t> n_layer = header.Unsigned("block_count");
    if (!n_layer) return "";  // missing or of another type: the library refuses the file itself
    if (*n_layer == 0 || *n_layer > kMaxLayers) {
        return Bad(header.Key("block_count"), *n_layer, "1 to 512 layers are supported");
    }
    const uint32_t n_nextn = header.Unsigned("nextn_predict_layers").value_or(0);
    if (n_nextn > *n_layer) {
        return Bad(header.Key("nextn_predict_layers"), n_nextn, "more than the " + std::to_string(*n_layer) + " layers");
    }
    std::string bad = CheckExperts(header, *n_layer);
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
