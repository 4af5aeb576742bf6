// The engine's sampler chain, its reset for a new chat and its teardown.
// Runs on whichever thread owns the engine at the time (see engine.h).

#include "engine.h"

void PrepareEngineBackend() {
    llama_log_set(LlamaLogCallback, nullptr);  // dropped until the loader opens velkin.log
    llama_backend_init();
}

void BuildSampler(Engine* engine) {
    if (!engine) return;
    if (engine->sampler) {
        llama_sampler_free(engine->sampler);
        engine->sampler = nullptr;
    }
    engine->sampler = llama_sampler_chain_init(llama_sampler_chain_default_params());
    // The penalty needs the vocabulary's size; without a model there is none to penalise.
    const int32_t n_vocab = engine->vocab ? llama_vocab_n_tokens(engine->vocab) : 0;
    llama_sampler_chain_add(engine->sampler,
                            llama_sampler_init_penalties(n_vocab, engine->repeat_last_n,
                                                         engine->repeat_penalty, 0.0f, 0.0f));
    llama_sampler_chain_add(engine->sampler, llama_sampler_init_temp(engine->temperature));
    llama_sampler_chain_add(engine->sampler, llama_sampler_init_top_p(engine->top_p, 1));
    llama_sampler_chain_add(engine->sampler, llama_sampler_init_dist(LLAMA_DEFAULT_SEED));  // a fresh seed each build
}

void ResetEngine(Engine* engine) {
    if (!engine) return;
    if (engine->ctx) llama_memory_clear(llama_get_memory(engine->ctx), true);
    engine->n_past = 0;
    engine->cached_tokens.clear();
    BuildSampler(engine);
}

void FreeEngineHandles(Engine* engine) {
    if (!engine) return;
    engine->ready = false;
    if (engine->sampler) {
        llama_sampler_free(engine->sampler);
        engine->sampler = nullptr;
    }
    if (engine->ctx) {
        llama_free(engine->ctx);
        engine->ctx = nullptr;
    }
    engine->vocab = nullptr;
    if (engine->model) {
        llama_model_free(engine->model);
        engine->model = nullptr;
    }
}

void ShutdownEngine(Engine* engine) {
    if (!engine) return;
    const bool loaded = engine->ready;
    FreeEngineHandles(engine);
    if (loaded) llama_backend_free();  // the loader already freed it when the load failed
    engine->n_past = 0;
    engine->cached_tokens.clear();
    engine->cached_tokens.shrink_to_fit();
    delete engine;
}
