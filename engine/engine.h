// The chat engine: the state record that owns the model, the context and the
// sampler chain, and the functions that fill and empty it. Chief header of the
// engine; the host includes only this.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "llama.h"
#include "windows.h"

#include "chat_history.h"
#include "executable_folder.h"
#include "generation.h"
#include "prompt_bound.h"
#include "worker_messages.h"

// One per run, made by the entry point with these values. The seven settings
// (n_ctx .. repeat_last_n) are constants of the program: the loader writes them
// again before use.
struct Engine {
    llama_model* model = nullptr;        // owned
    const llama_vocab* vocab = nullptr;  // belongs to model
    llama_context* ctx = nullptr;        // owned
    llama_sampler* sampler = nullptr;    // owned; replaced by every BuildSampler
    int32_t n_ctx = 0;                   // 0 or less: from the model; the derived size is stored back
    int32_t n_threads = -1;              // 0 or less: from the hardware; the derived count is not stored
    int32_t max_tokens = 2048;           // reply limit when a request asks for fewer than 1
    float temperature = 0.7f;
    float top_p = 0.9f;
    float repeat_penalty = 1.1f;
    int32_t repeat_last_n = 64;
    bool ready = false;  // model, vocab, ctx and sampler all exist
    int32_t n_past = 0;  // tokens of sequence 0 in the key-value cache
    std::vector<llama_token> cached_tokens;  // those tokens, in order; size() == n_past
    PromptBound prompt_bound;                // set by the loader: refuses a prompt too long, cheaply
};

// The heap record handed to ModelLoadThread, which owns and deletes it.
struct LoadRequest {
    HWND hwnd = nullptr;  // target of every message the loader posts
    Engine* engine = nullptr;
};

// Thread routine: loads model.gguf from the executable's folder into the
// request's engine. Posts WM_APP_STATUS, then exactly one of WM_APP_LOAD_DONE or
// WM_APP_ERROR (only WM_APP_ERROR when the file is missing), then deletes the
// request. Returns 0 on every path. Empties and reopens velkin.log beside the
// executable when the model file exists.
DWORD WINAPI ModelLoadThread(LPVOID request);

// Sets up the library's backends for the run. UI thread, before any other
// thread starts: the CPU backend writes the process environment the first
// time it is set up, which races with every thread that reads it (the web
// view's among them). The loader's own set-up then finds it done. Can't fail.
void PrepareEngineBackend();

// ModelLoadThread with another folder in place of the executable's (`folder`
// ends with a separator). Same messages, same ownership of the request.
DWORD LoadModelFromFolder(LoadRequest* request, const std::basic_string<WCHAR>& folder);

// The decoding thread count: `n_threads` when above 0, else the hardware's
// thread count less one, and at least 1. Can't fail.
int32_t ResolveThreadCount(int32_t n_threads, unsigned hardware_threads);

// The context size: `n_ctx` when above 0, else the training context at most
// 32768, or 4096 when the model gives none. Can't fail.
int32_t ResolveContextSize(int32_t n_ctx, int32_t n_ctx_train);

// Frees the current sampler chain, if any, and builds a new one from the
// settings: repetition penalty, temperature, top-p, a freshly seeded draw.
// Caller: whichever thread owns the engine at the time. Accepts null.
void BuildSampler(Engine* engine);

// Forgets what the key-value cache holds and rebuilds the sampler chain, for a
// new chat. UI thread, while no worker uses the engine. Accepts null.
void ResetEngine(Engine* engine);

// Frees the sampler, the context and the model and marks the engine not
// ready; the backend and the engine stay. Whichever thread owns the engine.
// Accepts null.
void FreeEngineHandles(Engine* engine);

// Frees every library object the engine holds, the backend when it was loaded,
// and the engine itself. UI thread, no worker running. Accepts null.
void ShutdownEngine(Engine* engine);

// Lets a std::unique_ptr own an Engine.
struct EngineDeleter {
    void operator()(Engine* engine) const { ShutdownEngine(engine); }
};
using EnginePtr = std::unique_ptr<Engine, EngineDeleter>;

// Log callback for llama_log_set: writes each text unchanged to velkin.log and
// flushes it; drops it when the file is not open. Any thread.
void LlamaLogCallback(ggml_log_level level, const char* text, void* user_data);
