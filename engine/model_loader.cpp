// The model-loading worker: finds model.gguf, opens velkin.log, loads the model
// and the context and builds the sampler chain. Runs on its own thread; the
// engine is its alone until it posts its final message.

#include "engine.h"
#include "log_file.h"
#include "model_header.h"
#include "text_conversion.h"

#include <algorithm>
#include <thread>

namespace {

constexpr char kModelMissingText[] =
    "Could not find model.gguf. Place a GGUF model file next to Velkin.exe and restart.";
constexpr char kModelUnusableText[] =
    "The model could not be loaded. This file may not be a supported GGUF model.";
constexpr char kOutOfMemoryText[] = "Not enough memory to load the model.";
constexpr char kLoadingText[] = "Loading model\xE2\x80\xA6";  // ends with U+2026, one ellipsis character

// Ends a failed load: the final message, then the request goes.
DWORD FailLoad(LoadRequest* request, const char* text) {
    PostTextMessage(request->hwnd, WM_APP_ERROR, text);
    delete request;
    return 0;
}

}  // namespace

int32_t ResolveThreadCount(int32_t n_threads, unsigned hardware_threads) {
    if (n_threads > 0) return n_threads;
    const int64_t spare_one = static_cast<int64_t>(hardware_threads) - 1;  // leave one for the UI
    return static_cast<int32_t>(std::clamp<int64_t>(spare_one, 1, INT32_MAX));
}

int32_t ResolveContextSize(int32_t n_ctx, int32_t n_ctx_train) {
    if (n_ctx > 0) return n_ctx;
    if (n_ctx_train <= 0) return 4096;   // the model names none
    return std::min(n_ctx_train, 32768);  // beyond this the cache outgrows a desktop's memory
}

DWORD WINAPI ModelLoadThread(LPVOID parameter) {
    LoadRequest* request = static_cast<LoadRequest*>(parameter);
    try {
        return LoadModelFromFolder(request, ExecutableFolder());
    } catch (...) {
        // Nothing may leave the thread: an exception (out of memory, the library)
        // ends the load as a failed one, with the engine left unloaded.
        FreeEngineHandles(request->engine);
        llama_backend_free();
        return FailLoad(request, kModelUnusableText);
    }
}

DWORD LoadModelFromFolder(LoadRequest* request, const std::basic_string<WCHAR>& folder) {
    Engine* engine = request->engine;

    // Find the model: without it nothing else happens, not even the log file.
    const std::basic_string<WCHAR> model_path = folder + u"model.gguf";
    if (GetFileAttributesW(model_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return FailLoad(request, kModelMissingText);
    }
    const std::string model_path_utf8 = WideToUtf8(model_path);
    PostTextMessage(request->hwnd, WM_APP_STATUS, kLoadingText);

    // Settings are constants of the program, whatever was written in between.
    const Engine defaults;
    engine->n_ctx = defaults.n_ctx;
    engine->n_threads = defaults.n_threads;
    engine->max_tokens = defaults.max_tokens;
    engine->temperature = defaults.temperature;
    engine->top_p = defaults.top_p;
    engine->repeat_penalty = defaults.repeat_penalty;
    engine->repeat_last_n = defaults.repeat_last_n;

    // Log file, emptied; a failure only loses the library's lines. A failed
    // assertion of the library ends the process, but its reason reaches the log first.
    log_file.store(_wfopen((folder + u"velkin.log").c_str(), u"w"));
    ggml_set_abort_callback(LogAbortMessage);
    llama_log_set(LlamaLogCallback, nullptr);
    llama_backend_init();
    const int32_t n_threads = ResolveThreadCount(engine->n_threads, std::thread::hardware_concurrency());

    // Model: header values the library would assert on or divide by as zero are refused first.
    const std::string bad_value = FindBadHeaderValue(model_path_utf8);
    if (!bad_value.empty()) {
        LogLine("velkin: model.gguf refused: " + bad_value);
        llama_backend_free();
        return FailLoad(request, kModelUnusableText);
    }
    // CPU only, read into memory rather than mapped.
    llama_model_params model_params = llama_model_default_params();
    model_params.n_gpu_layers = 0;
    model_params.load_mode = LLAMA_LOAD_MODE_NONE;
    engine->model = llama_model_load_from_file(model_path_utf8.c_str(), model_params);
    if (!engine->model) {
        llama_backend_free();
        return FailLoad(request, kModelUnusableText);
    }

    // Context
    engine->n_ctx = ResolveContextSize(engine->n_ctx, llama_model_n_ctx_train(engine->model));
    llama_context_params context_params = llama_context_default_params();
    context_params.n_ctx = static_cast<uint32_t>(engine->n_ctx);
    context_params.n_threads = n_threads;
    context_params.n_threads_batch = n_threads;
    engine->ctx = llama_init_from_model(engine->model, context_params);
    if (!engine->ctx) {
        llama_model_free(engine->model);
        engine->model = nullptr;
        llama_backend_free();
        return FailLoad(request, kOutOfMemoryText);
    }

    // Ready
    engine->vocab = llama_model_get_vocab(engine->model);
    engine->prompt_bound = MakePromptBound(engine->model, engine->vocab);
    BuildSampler(engine);
    engine->ready = true;
    PostMessageW(request->hwnd, WM_APP_LOAD_DONE, 0, 0);
    delete request;
    return 0;
}
