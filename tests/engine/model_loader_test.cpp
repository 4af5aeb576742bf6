// Loading model.gguf: the three failure sentences, the missing-model path that
// touches nothing, velkin.log, and the derived context size and thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <sstream>
#include <thread>

#include "engine_test_support.h"
#include "gguf.h"
#include "llama.h"
#include "model_header.h"

namespace {

const char kMissing[] = "Could not find model.gguf. Place a GGUF model file next to Velkin.exe and restart.";
const char kUnusable[] = "The model could not be loaded. This file may not be a supported GGUF model.";
const char kLoading[] = "Loading model\xE2\x80\xA6";

// Loads from `folder` on a loader thread; returns what the window received.
std::vector<Received> LoadFrom(const TempFolder& folder, Engine* engine) {
    struct Job {
        LoadRequest* request;
        std::basic_string<WCHAR> folder;
    };
    MessageLog log;
    Job job{new LoadRequest{log.hwnd, engine}, folder.Wide()};
    RunOnThread([](LPVOID parameter) -> DWORD {
        auto* job = static_cast<Job*>(parameter);
        return LoadModelFromFolder(job->request, job->folder);
    }, &job);
    log.Drain();
    return log.received;
}

std::vector<std::string> FolderEntries(const TempFolder& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ModelLoader, WithoutModelPostsOneErrorAndTouchesNothing) {
    TempFolder folder;
    WriteBytes(folder.File("velkin.log"), "old log\nkept\n");
    Engine* engine = new Engine;
    const auto received = LoadFrom(folder, engine);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message, WM_APP_ERROR);
    EXPECT_EQ(received[0].text, kMissing);
    EXPECT_EQ(ReadBytes(folder.File("velkin.log")), "old log\nkept\n");
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"velkin.log"});
    EXPECT_FALSE(engine->ready);
    EXPECT_EQ(engine->model, nullptr);
    ShutdownEngine(engine);
}

TEST(ModelLoader, WithoutModelCreatesNoLogFile) {
    TempFolder folder;
    EnginePtr engine(new Engine);
    const auto received = LoadFrom(folder, engine.get());
    EXPECT_EQ(MessagesOf(received), std::vector<UINT>{WM_APP_ERROR});
    EXPECT_TRUE(FolderEntries(folder).empty());
}

TEST(ModelLoader, UnusableFilesAreReportedAfterTheStatus) {
    const std::string gguf_head("GGUF\x03\x00\x00\x00", 8);
    struct Case {
        const char* name;
        std::string bytes;  // written as model.gguf; "" with is_folder makes a folder of that name
        bool is_folder;
    };
    TinyModel tiny = ScriptedReply("ok");
    TempFolder source;
    PlaceModel(source, tiny);
    const std::string whole = ReadBytes(source.File("model.gguf"));
    const Case cases[] = {
        {"empty file", "", false},
        {"text file", "this is not a model\n", false},
        {"gguf header only", gguf_head, false},
        {"truncated model", whole.substr(0, whole.size() / 2), false},
        {"folder named model.gguf", "", true},
    };
    for (const Case& c : cases) {
        TempFolder folder;
        if (c.is_folder) {
            std::filesystem::create_directory(folder.File("model.gguf"));
        } else {
            WriteBytes(folder.File("model.gguf"), c.bytes);
        }
        EnginePtr engine(new Engine);
        const auto received = LoadFrom(folder, engine.get());
        ASSERT_EQ(MessagesOf(received), (std::vector<UINT>{WM_APP_STATUS, WM_APP_ERROR})) << c.name;
        EXPECT_EQ(received[0].text, kLoading) << c.name;
        EXPECT_EQ(received[1].text, kUnusable) << c.name;
        EXPECT_FALSE(engine->ready) << c.name;
        EXPECT_EQ(engine->model, nullptr) << c.name;
        EXPECT_EQ(engine->n_ctx, 0) << c.name;
        EXPECT_FALSE(ReadBytes(folder.File("velkin.log")).empty()) << c.name << ": the library's lines";
        // A new chat on a failed engine still works and reports, rather than crashes.
        ResetEngine(engine.get());
        EXPECT_NE(engine->sampler, nullptr) << c.name;
    }
}

// The lines of velkin.log that the engine wrote itself.
std::vector<std::string> OwnLogLines(const TempFolder& folder) {
    std::vector<std::string> lines;
    std::istringstream log(ReadBytes(folder.File("velkin.log")));
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("velkin:", 0) == 0) lines.push_back(line);
    }
    return lines;
}

TEST(ModelLoader, HeaderValuesTheLibraryAssertsOnAreRefusedAndLogged) {
    struct Case {
        std::vector<std::pair<std::string, uint32_t>> u32;
        std::vector<std::pair<std::string, std::string>> str;
        const char* log_line;  // null: the file loads
        const char* architecture = "llama";
        std::vector<std::pair<std::string, std::vector<int8_t>>> bool_array = {};
    };
    const std::string kHunyuan = "hunyuan-dense";
    const Case cases[] = {
        // valid
        {{}, {{"llama.rope.scaling.type", "none"}}, nullptr},
        {{}, {{"llama.rope.scaling.type", "linear"}}, nullptr},
        {{}, {{"llama.rope.scaling.type", "yarn"}}, nullptr},
        {{}, {{"llama.rope.scaling.type", "longrope"}}, nullptr},
        {{{"llama.expert_count", 0}, {"llama.expert_used_count", 0}}, {}, nullptr},
        // hunyuan: the library reads an expert count of 1 or less as none, and uses none
        {{{kHunyuan + ".expert_count", 1}}, {}, nullptr, "hunyuan-dense"},
        {{{kHunyuan + ".expert_count", 0}, {kHunyuan + ".expert_used_count", 3}}, {}, nullptr, "hunyuan-dense"},
        // hostile: values that make the library abort the process
        {{{"llama.block_count", 0xFFFFFFFFu}}, {},
         "velkin: model.gguf refused: llama.block_count is 4294967295; 1 to 512 layers are supported"},
        {{{"llama.block_count", 0}}, {}, "velkin: model.gguf refused: llama.block_count is 0; 1 to 512 layers are supported"},
        {{{"llama.block_count", 513}}, {}, "velkin: model.gguf refused: llama.block_count is 513; 1 to 512 layers are supported"},
        {{{"llama.nextn_predict_layers", 2}}, {},
         "velkin: model.gguf refused: llama.nextn_predict_layers is 2; more than the 1 layers"},
        {{{"llama.expert_count", 5000}, {"llama.expert_used_count", 2}}, {},
         "velkin: model.gguf refused: llama.expert_count is 5000; at most 1024 is supported"},
        {{{"llama.expert_used_count", 2}}, {},
         "velkin: model.gguf refused: llama.expert_used_count is 2; more than the 0 experts"},
        {{{"llama.expert_count", 4}}, {},
         "velkin: model.gguf refused: llama.expert_used_count is 0; a model with experts must use some"},
        {{{"llama.expert_count", 4}, {"llama.expert_used_count", 1}, {"llama.expert_group_count", 4}}, {},
         "velkin: model.gguf refused: llama.expert_group_count is 4; must be fewer than the experts"},
        {{{"llama.expert_count", 6}, {"llama.expert_used_count", 1}, {"llama.expert_group_count", 4}}, {},
         "velkin: model.gguf refused: llama.expert_group_count is 4; must divide the experts"},
        {{{"llama.expert_count", 8}, {"llama.expert_used_count", 1}, {"llama.expert_group_count", 4},
          {"llama.expert_group_used_count", 4}}, {},
         "velkin: model.gguf refused: llama.expert_group_used_count is 4; must be between 1 and the groups less one"},
        {{{"llama.expert_group_count", 2}}, {},
         "velkin: model.gguf refused: llama.expert_group_count is 2; a model without experts has no groups"},
        {{}, {{"llama.rope.scaling.type", "sideways"}},
         "velkin: model.gguf refused: llama.rope.scaling.type is \"sideways\"; none, linear, yarn or longrope is supported"},
        {{}, {}, "velkin: model.gguf refused: llama.expert_used_count is 1; more than the 0 experts", "llama",
         {{"llama.expert_used_count", {1}}}},
        {{{kHunyuan + ".expert_count", 1}, {kHunyuan + ".expert_group_count", 1}}, {},
         "velkin: model.gguf refused: hunyuan-dense.expert_group_count is 1; a model without experts has no groups",
         "hunyuan-dense"},
        {{{"llama.expert_count", 1}}, {},
         "velkin: model.gguf refused: llama.expert_used_count is 0; a model with experts must use some"},
        {{{"wavtokenizer-dec.context_length", 64}, {"wavtokenizer-dec.embedding_length", 64},
          {"wavtokenizer-dec.block_count", 1}, {"wavtokenizer-dec.features_length", 64},
          {"wavtokenizer-dec.posnet.embedding_length", 64}, {"wavtokenizer-dec.posnet.block_count", 2},
          {"wavtokenizer-dec.convnext.embedding_length", 64}, {"wavtokenizer-dec.convnext.block_count", 1}},
         {{"general.architecture", "wavtokenizer-dec"}},
         "velkin: model.gguf refused: wavtokenizer-dec.posnet.block_count is 2; more than the 1 layers"},
    };
    for (const Case& c : cases) {
        const std::string name = c.log_line ? c.log_line : std::string("valid ") + c.architecture;
        TinyModel model = ScriptedReply("ok");
        model.architecture = c.architecture;
        model.header_u32 = c.u32;
        model.header_str = c.str;
        model.header_bool_array = c.bool_array;
        TempFolder folder;
        PlaceModel(folder, model);
        EnginePtr engine(new Engine);
        const auto received = LoadFrom(folder, engine.get());
        if (!c.log_line) {
            EXPECT_EQ(MessagesOf(received), (std::vector<UINT>{WM_APP_STATUS, WM_APP_LOAD_DONE})) << name;
            EXPECT_TRUE(OwnLogLines(folder).empty()) << name;
            continue;
        }
        ASSERT_EQ(MessagesOf(received), (std::vector<UINT>{WM_APP_STATUS, WM_APP_ERROR})) << name;
        EXPECT_EQ(received[1].text, kUnusable) << name;
        EXPECT_FALSE(engine->ready) << name;
        EXPECT_EQ(engine->model, nullptr) << name;
        EXPECT_EQ(OwnLogLines(folder), std::vector<std::string>{std::string(c.log_line) + "\r"}) << name;
    }
}

// Header values written under one architecture's keys, without its prefix.
struct ArchitectureHeader {
    std::vector<std::pair<std::string, uint32_t>> u32;
    std::vector<std::pair<std::string, float>> f32 = {};
    std::vector<std::pair<std::string, bool>> bools = {};
    std::vector<std::pair<std::string, std::vector<uint32_t>>> u32_arrays = {};
    std::vector<std::pair<std::string, std::vector<std::string>>> str_arrays = {};
};

// Adds `header` to the model's header under its architecture's keys.
void AddToHeader(TinyModel& model, const ArchitectureHeader& header) {
    const std::string prefix = model.architecture + ".";
    for (const auto& [suffix, value] : header.u32) model.header_u32.push_back({prefix + suffix, value});
    for (const auto& [suffix, value] : header.f32) model.header_f32.push_back({prefix + suffix, value});
    for (const auto& [suffix, value] : header.bools) model.header_bool.push_back({prefix + suffix, value});
    for (const auto& [suffix, value] : header.u32_arrays) model.header_u32_array.push_back({prefix + suffix, value});
    for (const auto& [suffix, value] : header.str_arrays) model.header_str_array.push_back({prefix + suffix, value});
}

// The keys an architecture requires before the values of the rows below, so
// that the library's reading reaches those.
ArchitectureHeader RequiredKeys(const std::string& architecture) {
    const ArchitectureHeader hyper_connections = {
        {{"attention.q_lora_rank", 64}, {"attention.sliding_window", 128}, {"expert_feed_forward_length", 64},
         {"expert_shared_count", 1}, {"attention.indexer.head_count", 1}, {"attention.indexer.key_length", 64},
         {"attention.indexer.top_k", 4}, {"attention.output_group_count", 1}, {"attention.output_lora_rank", 64},
         {"hyper_connection.count", 4}, {"hyper_connection.sinkhorn_iterations", 20}, {"hash_layer_count", 0},
         {"expert_gating_func", 4}},  // sqrt-softplus, the only scoring these read
        {{"expert_weights_scale", 1.5f}, {"swiglu_clamp_exp", 10.0f}, {"attention.compress_rope_freq_base", 160000.0f},
         {"hyper_connection.epsilon", 1e-6f}},
        {{"expert_weights_norm", true}}};
    const ArchitectureHeader state_space = {{{"ssm.conv_kernel", 4}, {"ssm.inner_size", 64}, {"ssm.state_size", 16},
                                             {"ssm.time_step_rank", 4}, {"ssm.group_count", 1}},
                                            {}, {}, {{"rope.dimension_sections", {16, 16, 0, 0}}}};
    if (architecture == "gemma-embedding") return {{{"attention.sliding_window", 512}}};
    if (architecture == "bailingmoe3") {
        return {{{"attention.key_length_mla", 64}, {"attention.value_length_mla", 64}, {"attention.kv_lora_rank", 64},
                 {"ssm.conv_kernel", 4}, {"kda.head_dim", 64}, {"expert_feed_forward_length", 64},
                 {"expert_shared_count", 1}, {"leading_dense_block_count", 0}, {"expert_gating_func", 2}},
                {{"kda.gate_lower_bound", -5.0f}}};
    }
    if (architecture == "deepseek4") {
        ArchitectureHeader keys = hyper_connections;
        keys.u32_arrays = {{"attention.compress_ratios", {4}}};
        return keys;
    }
    if (architecture == "dflash") {
        ArchitectureHeader keys = hyper_connections;
        keys.u32_arrays = {{"target_layers", {0}}};
        return keys;
    }
    if (architecture == "minimax-m3") {
        return {{{"expert_feed_forward_length", 64}, {"expert_shared_count", 1}, {"expert_gating_func", 2},
                 {"attention.indexer.head_count", 1}, {"attention.indexer.key_length", 64},
                 {"attention.indexer.top_k", 4}, {"attention.indexer.block_size", 64},
                 {"attention.indexer.local_blocks", 1}}};
    }
    if (architecture == "qwen35" || architecture == "qwen35moe" || architecture == "qwen3next") return state_space;
    if (architecture == "minimax-01") return {{}, {{"residual_scale", 1.0f}}};
    if (architecture == "bailingmoe2" || architecture == "glm4moe" || architecture == "deepseek2") {
        return {{{"expert_feed_forward_length", 64}, {"expert_shared_count", 1}, {"expert_gating_func", 2},
                 {"attention.q_lora_rank", 64}, {"attention.kv_lora_rank", 64}}};
    }
    if (architecture == "grovemoe") {
        return {{{"expert_feed_forward_length", 64}, {"experts_per_group", 2}}, {{"expert_group_scale", 1.0f}}};
    }
    if (architecture == "lfm2moe") {
        return {{{"shortconv.l_cache", 3}, {"expert_feed_forward_length", 64}, {"expert_gating_func", 2}}};
    }
    if (architecture == "jamba" || architecture == "granitehybrid") {
        ArchitectureHeader keys = state_space;
        keys.u32 = {{"ssm.conv_kernel", 4}, {"ssm.inner_size", 128}, {"ssm.state_size", 16}, {"ssm.time_step_rank", 4},
                    {"ssm.group_count", 1}};
        return keys;
    }
    if (architecture == "falcon" || architecture == "gpt2") return {{}, {{"attention.layer_norm_epsilon", 1e-5f}}};
    if (architecture == "rwkv6qwen2") return {{{"time_mix_extra_dim", 64}, {"time_decay_extra_dim", 64}}};
    if (architecture == "wavtokenizer-dec") {
        return {{{"features_length", 64}, {"posnet.embedding_length", 64}, {"posnet.block_count", 6},
                 {"convnext.embedding_length", 64}, {"convnext.block_count", 1}, {"attention.group_norm_groups", 32}},
                {{"attention.group_norm_epsilon", 1e-5f}, {"attention.layer_norm_epsilon", 1e-5f}}};
    }
    return {{}};
}

void AddTensorAsked(ggml_tensor* tensor, void* asked) {
    auto* tensors = static_cast<std::vector<TinyTensor>*>(asked);
    TinyTensor tiny{ggml_get_name(tensor), {}};
    // An output tied to the token embedding is asked for again under that name.
    for (const TinyTensor& known : *tensors) {
        if (known.name == tiny.name) return;
    }
    for (int dim = 0; dim < ggml_n_dims(tensor); ++dim) tiny.shape.push_back(tensor->ne[dim]);
    tensors->push_back(tiny);
}

// The tensors the library asks for when it reads `model`'s header, as it does
// for a model made in memory. Empty when it refuses the header.
std::vector<TinyTensor> TensorsAskedFor(const TinyModel& model) {
    TempFolder folder;
    PlaceModel(folder, model);
    gguf_init_params params = {true, nullptr};
    gguf_context* gguf = gguf_init_from_file(folder.File("model.gguf").c_str(), params);
    if (!gguf) return {};
    std::vector<TinyTensor> asked;
    llama_backend_init();
    llama_model* made = llama_model_init_from_user(gguf, AddTensorAsked, &asked, llama_model_default_params());
    if (!made) asked.clear();
    llama_model_free(made);
    llama_backend_free();
    gguf_free(gguf);
    return asked;
}

// Loads, from `folder`, a model of `architecture` with `n_layer` layers whose
// header holds the keys the architecture requires, then `values`. Its tensors
// are llama's, or, given `asked_with`, those the library asks for when the
// header also holds those values (none: the header as it is).
std::vector<Received> LoadArchitecture(const TempFolder& folder, const char* architecture,
                                       const ArchitectureHeader& values, int32_t n_layer,
                                       const std::optional<ArchitectureHeader>& asked_with = std::nullopt) {
    TinyModel model = ScriptedReply("ok");
    model.architecture = architecture;
    model.n_layer = n_layer;
    AddToHeader(model, RequiredKeys(architecture));
    if (asked_with) {
        TinyModel asking = model;
        AddToHeader(asking, values);
        AddToHeader(asking, *asked_with);
        model.tensors = TensorsAskedFor(asking);
        EXPECT_FALSE(model.tensors.empty()) << "the library refused the header it was asked about";
    }
    AddToHeader(model, values);
    PlaceModel(folder, model);
    EnginePtr engine(new Engine);
    return LoadFrom(folder, engine.get());
}

// A model of one architecture whose header holds `values`.
struct ArchitectureCase {
    const char* architecture;
    const char* outcome;  // valid: the library's own error, null when it loads; hostile: the refusal logged
    ArchitectureHeader values;
    int32_t n_layer = 1;
    std::optional<ArchitectureHeader> asked_with = std::nullopt;  // as LoadArchitecture takes it
};

// A valid case loads, or the library reports its own error; the check says nothing.
void ExpectNotRefused(const ArchitectureCase& c) {
    SCOPED_TRACE(std::string(c.architecture) + ": " + (c.outcome ? c.outcome : "loads"));
    TempFolder folder;
    const auto received = LoadArchitecture(folder, c.architecture, c.values, c.n_layer, c.asked_with);
    EXPECT_TRUE(OwnLogLines(folder).empty());
    EXPECT_EQ(MessagesOf(received), (std::vector<UINT>{WM_APP_STATUS, c.outcome ? WM_APP_ERROR : WM_APP_LOAD_DONE}));
    if (c.outcome) {
        EXPECT_NE(ReadBytes(folder.File("velkin.log")).find(c.outcome), std::string::npos);
    }
}

// A hostile case is refused before the library sees it, with the outcome logged.
void ExpectRefused(const ArchitectureCase& c) {
    SCOPED_TRACE(c.outcome);
    TempFolder folder;
    const auto received = LoadArchitecture(folder, c.architecture, c.values, c.n_layer, c.asked_with);
    EXPECT_EQ(MessagesOf(received), (std::vector<UINT>{WM_APP_STATUS, WM_APP_ERROR}));
    EXPECT_EQ(received.back().text, kUnusable);
    EXPECT_EQ(OwnLogLines(folder), std::vector<std::string>{"velkin: model.gguf refused: " + std::string(c.outcome) + "\r"});
}

TEST(ModelLoader, ArchitectureValuesTheLibraryAssertsOnOrDividesByAreRefused) {
    // Each architecture reads values of its own; the library asserts on some of
    // them or divides by them, and either ends the process.
    using Case = ArchitectureCase;
    const char kTensors[] = "check_tensor_dims";  // the header was read; llama's tensors are not this model's
    std::vector<uint32_t> heads_but_the_first(62, 8);
    heads_but_the_first[0] = 0;
    const Case valid[] = {
        {"nanbeige", nullptr, {{}}},
        {"nanbeige", nullptr, {{{"num_loops", 256}}}, 2},
        {"nanbeige", "wrong number of tensors", {{{"num_loops", 256}, {"nextn_predict_layers", 1}}}, 3},
        {"gemma-embedding", kTensors,
         {{{"embedding_length", 768}, {"dense_2_feat_in", 768}, {"dense_3_feat_out", 768}}}},
        {"gemma-embedding", kTensors, {{{"dense_2_feat_in", 0}, {"dense_3_feat_out", 0}}}},
        {"bailingmoe3", kTensors, {{}}},
        {"bailingmoe3", kTensors, {{}, {{"kda.gate_lower_bound", -INFINITY}}, {{"kda.safe_gate", true}}}},
        {"deepseek4", kTensors, {{}, {}, {}, {{"attention.compress_ratios", std::vector<uint32_t>(512, 4)}}}},
        {"dflash", kTensors, {{}}},
        {"dflash", kTensors,
         {{{"hyper_connection.count", 0}, {"attention.output_group_count", 0}, {"attention.sliding_window", 0}}}},
        {"minimax-m3", kTensors, {{}}},
        {"qwen35", kTensors, {{{"full_attention_interval", 4}}}},
        {"qwen35", kTensors, {{{"full_attention_interval", 0}}, {}, {}, {{"attention.recurrent_layers", {1}}}}},
        {"qwen35", kTensors, {{{"full_attention_interval", 0}, {"nextn_predict_layers", 1}}}},
        {"qwen3next", "cannot have zero experts", {{}}},  // said once the tensors are read
        {"minimax-01", kTensors, {{{"full_attention_interval", 8}}}},
        {"gemma2", kTensors, {{{"attention.head_count", 0}}}, 45},
        {"gemma3", kTensors, {{{"attention.head_count", 32}}}, 62},
        // a per-layer value as a string array: the library refuses it, the check must not fail on it
        {"llama", "expert_used_count has wrong array element type str",
         {{{"expert_count", 4}}, {}, {}, {}, {{"expert_used_count", {"2"}}}}},
    };
    for (const Case& c : valid) ExpectNotRefused(c);

    const Case hostile[] = {
        {"nanbeige", "nanbeige.num_loops is 0; the layers must run at least once", {{{"num_loops", 0}}}},
        {"nanbeige", "nanbeige.num_loops is 257; 2 layers run that often are more than the 512 supported",
         {{{"num_loops", 257}}}, 2},
        {"nanbeige", "nanbeige.num_loops is 257; 2 layers run that often are more than the 512 supported",
         {{{"num_loops", 257}, {"nextn_predict_layers", 1}}}, 3},
        {"gemma-embedding", "gemma-embedding.dense_2_feat_in is 100; must be 0 or the embedding length, 768",
         {{{"embedding_length", 768}, {"dense_2_feat_in", 100}}}},
        {"gemma-embedding", "gemma-embedding.dense_3_feat_out is 769; must be 0 or the embedding length, 768",
         {{{"embedding_length", 768}, {"dense_2_feat_in", 768}, {"dense_3_feat_out", 769}}}},
        {"bailingmoe3", "bailingmoe3.kda.safe_gate is false; only the safe gate is supported",
         {{}, {}, {{"kda.safe_gate", false}}}},
        {"bailingmoe3", "bailingmoe3.kda.gate_lower_bound is 0; must be below 0",
         {{}, {{"kda.gate_lower_bound", 0.0f}}}},
        {"bailingmoe3", "bailingmoe3.kda.gate_lower_bound is -0; must be below 0",
         {{}, {{"kda.gate_lower_bound", -0.0f}}}},
        {"bailingmoe3", "bailingmoe3.kda.gate_lower_bound is nan; must be below 0",
         {{}, {{"kda.gate_lower_bound", NAN}}}},
        {"deepseek4", "deepseek4.attention.compress_ratios has 513 entries; at most 512 are supported",
         {{}, {}, {}, {{"attention.compress_ratios", std::vector<uint32_t>(513, 4)}}}},
        {"dflash", "dflash.attention.output_group_count is 0; a model with hyper-connections needs at least 1",
         {{{"attention.output_group_count", 0}}}},
        {"dflash", "dflash.attention.sliding_window is 0; a model with hyper-connections needs at least 1",
         {{{"attention.sliding_window", 0}}}},
        {"minimax-m3", "minimax-m3.attention.indexer.block_size is 0; must be at least 1",
         {{{"attention.indexer.block_size", 0}}}},
        {"qwen35", "qwen35.full_attention_interval is 0; must be at least 1", {{{"full_attention_interval", 0}}}},
        {"qwen35moe", "qwen35moe.full_attention_interval is 0; must be at least 1",
         {{{"full_attention_interval", 0}}}},
        {"qwen3next", "qwen3next.full_attention_interval is 0; must be at least 1",
         {{{"full_attention_interval", 0}}}},
        {"minimax-01", "minimax-01.full_attention_interval is 0; must be at least 1",
         {{{"full_attention_interval", 0}}}},
        {"gemma2", "gemma2.attention.head_count is 0; a model of 46 layers needs attention heads",
         {{{"attention.head_count", 0}}}, 46},
        {"gemma3", "gemma3.attention.head_count is 0; a model of 62 layers needs attention heads",
         {{}, {}, {}, {{"attention.head_count", heads_but_the_first}}}, 62},
    };
    for (const Case& c : hostile) ExpectRefused(c);
}

TEST(ModelLoader, ValuesTheLibraryAssertsOnOrDividesByWhileBuildingTheModelAreRefused) {
    // Building an architecture's tensors, or its graph when the context is made,
    // asserts on some header values or divides by them. The files hold llama's
    // tensors, or the tensors the library asks for, so that loading reaches that far.
    using Case = ArchitectureCase;
    const ArchitectureHeader kAsIs = {{}};
    const ArchitectureHeader kExperts = {{{"expert_count", 4}, {"expert_used_count", 2}}};
    const char kTensors[] = "check_tensor_dims";  // the tensors the header asks for are not llama's
    const Case valid[] = {
        {"llama", nullptr, {{{"attention.head_count", 2}, {"attention.key_length", 32}, {"attention.value_length", 32}}},
         1, kAsIs},
        {"llama", nullptr, {{{"attention.head_count", 4}, {"attention.head_count_kv", 2}}}, 1, kAsIs},
        {"qwen2", nullptr, {{{"rope.dimension_count", 64}}}, 1, kAsIs},
        // layers of no attention heads at all
        {"lfm2", nullptr,
         {{{"shortconv.l_cache", 3}, {"attention.head_count", 2}}, {}, {}, {{"attention.head_count_kv", {0, 2}}}}, 2,
         kAsIs},
        {"bailingmoe2", kTensors, kExperts},
        {"lfm2moe", nullptr, {{{"leading_dense_block_count", 1}}}, 1, kAsIs},  // no layer of experts
        {"deepseek2", kTensors, {{{"rope.dimension_count", 63}}}},
        {"jamba", nullptr, {{{"ssm.inner_size", 128}}}},  // its attention layers are llama's
        {"wavtokenizer-dec", nullptr, {{}}, 6, kAsIs},
        // heads that fill the embedding exactly, with a head length given or derived
        {"qwen2", nullptr, {{{"attention.head_count", 2}, {"attention.head_count_kv", 2}, {"attention.key_length", 32},
                             {"attention.value_length", 32}, {"rope.dimension_count", 32}}}, 1, kAsIs},
        {"falcon", nullptr, {{{"attention.head_count", 4}, {"attention.head_count_kv", 2}}}, 1, kAsIs},
        // only the first layer's heads must fill it
        {"olmo2", nullptr,
         {{{"attention.key_length", 32}, {"attention.value_length", 32}, {"rope.dimension_count", 32}},
          {}, {}, {{"attention.head_count", {2, 1}}}}, 2, kAsIs},
        // heads longer than the embedding where the library takes them (qwen3's and gemma's own models have such)
        {"qwen3", nullptr, {{{"attention.key_length", 128}, {"attention.value_length", 128},
                             {"rope.dimension_count", 128}}}, 1, kAsIs},
        {"gemma", nullptr, {{{"attention.key_length", 256}, {"attention.value_length", 256},
                             {"rope.dimension_count", 256}}}, 1, kAsIs},
        {"cogvlm", nullptr, {{{"attention.key_length", 128}, {"attention.value_length", 128},
                              {"rope.dimension_count", 128}}}, 1, kAsIs},
    };
    for (const Case& c : valid) ExpectNotRefused(c);

    const Case hostile[] = {
        {"bailingmoe2", "bailingmoe2.expert_count is 0; must be at least 1", {{}}},
        {"bailingmoe2", "bailingmoe2.expert_used_count is 0; the first layer must use experts",
         {{{"expert_count", 4}}, {}, {}, {{"expert_used_count", {0, 2}}}}, 2},
        {"glm4moe", "glm4moe.expert_count is 0; must be at least 1", {{}}},
        {"grovemoe", "grovemoe.expert_count is 0; must be at least 1", {{}}},
        {"grovemoe", "grovemoe.experts_per_group is 0; must be at least 1",
         {{{"expert_count", 4}, {"expert_used_count", 2}, {"experts_per_group", 0}}}},
        {"llada-moe", "llada-moe.expert_count is 0; must be at least 1", {{}}},
        {"smallthinker", "smallthinker.expert_count is 0; must be at least 1", {{}}},
        {"qwen35moe", "qwen35moe.expert_count is 0; must be at least 1", {{}}},  // divides by the experts used
        {"lfm2moe", "lfm2moe.expert_count is 0; must be at least 1", {{}}, 1, kExperts},
        {"deepseek2", "deepseek2.rope.dimension_count is 64; must be below the key length, 64", {{}}},
        {"deepseek2", "deepseek2.rope.dimension_count is 96; must be below the key length, 96",
         {{{"attention.key_length_mla", 96}, {"attention.value_length_mla", 64}, {"rope.dimension_count", 96}}}},
        {"llama", "llama.attention.value_length is 32; must be the key length, 64",
         {{{"attention.value_length", 32}}}, 1, kAsIs},
        {"qwen2", "qwen2.rope.dimension_count is 32; must be the head length, 64", {{{"rope.dimension_count", 32}}},
         1, kAsIs},
        {"llama", "llama.attention.head_count_kv is 3; must divide the 4 attention heads",
         {{{"attention.head_count", 4}, {"attention.head_count_kv", 3}}}, 1, kAsIs},
        {"olmo2", "olmo2.attention.head_count is 0; must be at least 1", {{{"attention.head_count", 0}}}},
        {"qwen2", "qwen2.attention.key_length is 32; must be the embedding length over the attention heads, 64",
         {{{"attention.key_length", 32}, {"attention.value_length", 32}, {"rope.dimension_count", 32}}}, 1, kAsIs},
        {"falcon", "falcon.attention.key_length is 128; must be the embedding length over the attention heads, 64",
         {{{"attention.key_length", 128}, {"attention.value_length", 128}, {"rope.dimension_count", 128}}}, 1, kAsIs},
        {"lfm2", "lfm2.attention.key_length is 32; must be the embedding length over the attention heads, 64",
         {{{"shortconv.l_cache", 3}, {"attention.key_length", 32}, {"attention.value_length", 32},
           {"rope.dimension_count", 32}}}, 1, kAsIs},
        {"qwen2moe", "qwen2moe.attention.key_length is 32; must be the embedding length over the attention heads, 64",
         {{{"expert_count", 4}, {"expert_used_count", 2}, {"expert_feed_forward_length", 64},
           {"expert_shared_feed_forward_length", 64}, {"attention.key_length", 32}, {"attention.value_length", 32},
           {"rope.dimension_count", 32}}}, 1, kAsIs},
        {"olmo2", "olmo2.attention.key_length is 32; must be the embedding length over the attention heads, 64",
         {{{"attention.key_length", 32}, {"attention.value_length", 32}, {"rope.dimension_count", 32}},
          {}, {}, {{"attention.head_count", {1, 2}}}}, 2, kAsIs},
        // a head length derived from heads that do not divide the embedding
        {"gpt2", "gpt2.attention.head_count is 3; must divide the embedding length, 64",
         {{{"attention.head_count", 3}, {"attention.head_count_kv", 3}}}, 1, kAsIs},
        {"chatglm", "chatglm.attention.head_count is 5; must divide the embedding length, 64",
         {{{"attention.head_count", 5}, {"attention.head_count_kv", 5}}}, 1, kAsIs},
        {"jamba", "jamba.ssm.inner_size is 64; must be twice the embedding length, 128", {{{"ssm.inner_size", 64}}}},
        {"granitehybrid", "granitehybrid.ssm.inner_size is 64; must be twice the embedding length, 128",
         {{{"ssm.inner_size", 64}}}},
        {"rwkv6qwen2", "rwkv6qwen2.wkv.head_size is 0; must be at least 1", {{{"wkv.head_size", 0}}}},
        {"wavtokenizer-dec", "wavtokenizer-dec.posnet.block_count is 7; at most 6 are supported",
         {{{"posnet.block_count", 7}}}, 7, ArchitectureHeader{{{"posnet.block_count", 6}}}},
        {"wavtokenizer-dec", "wavtokenizer-dec.convnext.embedding_length is 128; must be the posnet's, 64",
         {{{"convnext.embedding_length", 128}}}, 6, ArchitectureHeader{{{"convnext.embedding_length", 64}}}},
    };
    for (const Case& c : hostile) ExpectRefused(c);
}

TEST(ModelLoader, TheLibrarysOwnVocabularyFilesPassTheHeaderCheck) {
    size_t n_files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VELKIN_VOCABULARY_FOLDER)) {
        if (entry.path().extension() != ".gguf") continue;
        ++n_files;
        EXPECT_EQ(FindBadHeaderValue(entry.path().string()), "") << entry.path().filename();
    }
    EXPECT_GE(n_files, 19u);
}

TEST(ModelLoader, ReadyEngineHoldsTheModelAndTheProgramsSettings) {
    TempFolder folder;
    PlaceModel(folder, ScriptedReply("hi"));
    EnginePtr engine(new Engine);
    // Values written before loading never take effect.
    engine->n_ctx = 99;
    engine->n_threads = 3;
    engine->max_tokens = 5;
    engine->temperature = 2.0f;
    engine->top_p = 0.1f;
    engine->repeat_penalty = 3.0f;
    engine->repeat_last_n = 1;
    const auto received = LoadFrom(folder, engine.get());
    ASSERT_EQ(MessagesOf(received), (std::vector<UINT>{WM_APP_STATUS, WM_APP_LOAD_DONE}));
    EXPECT_EQ(received[0].text, kLoading);
    EXPECT_FALSE(received[1].has_text);
    EXPECT_TRUE(engine->ready);
    EXPECT_NE(engine->model, nullptr);
    EXPECT_NE(engine->vocab, nullptr);
    EXPECT_NE(engine->ctx, nullptr);
    EXPECT_NE(engine->sampler, nullptr);
    EXPECT_EQ(engine->n_ctx, 4096);
    EXPECT_EQ(engine->n_threads, -1);
    EXPECT_EQ(engine->max_tokens, 2048);
    EXPECT_EQ(engine->temperature, 0.7f);
    EXPECT_EQ(engine->top_p, 0.9f);
    EXPECT_EQ(engine->repeat_penalty, 1.1f);
    EXPECT_EQ(engine->repeat_last_n, 64);
    EXPECT_EQ(engine->n_past, 0);
    EXPECT_TRUE(engine->cached_tokens.empty());
    const int32_t expected_threads = ResolveThreadCount(-1, std::thread::hardware_concurrency());
    EXPECT_EQ(llama_n_threads(engine->ctx), expected_threads);
    EXPECT_EQ(llama_n_threads_batch(engine->ctx), expected_threads);
}

TEST(ModelLoader, LogFileIsEmptiedAndGetsTheLibrarysLinesWithCrLf) {
    TempFolder folder;
    PlaceModel(folder, ScriptedReply("hi"));
    WriteBytes(folder.File("velkin.log"), "OLD CONTENT THAT MUST GO\n");
    EnginePtr engine(new Engine);
    LoadFrom(folder, engine.get());
    ASSERT_TRUE(engine->ready);
    const std::string log = ReadBytes(folder.File("velkin.log"));
    EXPECT_EQ(log.find("OLD CONTENT"), std::string::npos);
    EXPECT_NE(log.find("llama_model_loader"), std::string::npos) << "the library's own lines";
    size_t line_feeds = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] != '\n') continue;
        ++line_feeds;
        ASSERT_TRUE(i > 0 && log[i - 1] == '\r') << "bare line feed at byte " << i;
        ASSERT_FALSE(i > 1 && log[i - 2] == '\r') << "carriage return doubled at byte " << i;
    }
    EXPECT_GT(line_feeds, 10u);
}

TEST(ModelLoader, ContextSizeComesFromTheTrainingContext) {
    const struct {
        int32_t trained;
        int32_t expected;
    } cases[] = {{0, 4096}, {2048, 2048}, {32768, 32768}, {131072, 32768}};
    for (const auto& c : cases) {
        TinyModel model = ScriptedReply("x");
        model.n_ctx_train = c.trained;
        EnginePtr engine = LoadEngine(model);
        ASSERT_TRUE(engine->ready) << c.trained;
        EXPECT_EQ(engine->n_ctx, c.expected) << c.trained;
        EXPECT_EQ(static_cast<int32_t>(llama_n_ctx(engine->ctx)), c.expected) << c.trained;
    }
}

TEST(ModelLoader, ContextSizeRule) {
    EXPECT_EQ(ResolveContextSize(0, 0), 4096);
    EXPECT_EQ(ResolveContextSize(0, -7), 4096);
    EXPECT_EQ(ResolveContextSize(-1, 2048), 2048);
    EXPECT_EQ(ResolveContextSize(0, 32768), 32768);
    EXPECT_EQ(ResolveContextSize(0, 32769), 32768);
    EXPECT_EQ(ResolveContextSize(0, 131072), 32768);
    EXPECT_EQ(ResolveContextSize(512, 131072), 512);
}

TEST(ModelLoader, ThreadCountRule) {
    const struct {
        int32_t setting;
        unsigned hardware;
        int32_t expected;
    } cases[] = {
        {-1, 0, 1}, {-1, 1, 1}, {-1, 2, 1}, {-1, 3, 2}, {-1, 8, 7}, {-1, 16, 15},
        {0, 16, 15}, {4, 16, 4}, {4, 0, 4},
        {-1, 0xFFFFFFFFu, INT32_MAX},  // an absurd report must not wrap to a negative count
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveThreadCount(c.setting, c.hardware), c.expected) << c.setting << " / " << c.hardware;
    }
}

TEST(EngineLifetime, FreeFunctionsAcceptNullAndAnUnloadedEngine) {
    BuildSampler(nullptr);
    ResetEngine(nullptr);
    ShutdownEngine(nullptr);
    Engine* engine = new Engine;
    ResetEngine(engine);
    EXPECT_NE(engine->sampler, nullptr);
    BuildSampler(engine);
    EXPECT_NE(engine->sampler, nullptr);
    EXPECT_EQ(engine->n_past, 0);
    ShutdownEngine(engine);
}

}  // namespace
