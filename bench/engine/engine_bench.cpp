// Engine benchmark: the engine's own generation thread, driven through a
// message-only window, against a plain libllama loop on the same model with the
// same thread count. Each side runs in a child process of its own so that its
// peak resident memory is its own. Prints figures; judges nothing.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "recording_window.h"
#include "tiny_model.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kLongPromptTokens = 1000;
constexpr int32_t kGeneratedTokens = 256;
constexpr int kTurns = 8;
constexpr int32_t kTurnReplyTokens = 48;
constexpr int kRounds = 3;

struct Figures {
    double load_ms = 0;
    double prompt_tokens_per_s = 0;
    double generated_tokens_per_s = 0;
    double first_token_ms[kTurns] = {};
    int32_t prompt_tokens_decoded[kTurns] = {};
    long peak_rss_kb = 0;
};

double Milliseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A realistic size: 32k vocabulary, 768 wide, 12 layers, F16: about 134M parameters.
bool WriteBenchModel(const std::string& path) {
    TinyModel model = EndlessReply("The quick brown fox jumps over the lazy dog. ");  // never ends by itself
    model.n_embd = 768;
    model.n_layer = 12;
    model.n_ff = 2048;
    model.n_vocab_padding = 32000 - 5 - 256 - static_cast<int32_t>(model.pieces.size());
    model.weight_type = TinyWeightType::F16;
    std::string error;
    if (!WriteTinyModel(model, path, &error)) {
        fprintf(stderr, "engine_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The conversation's user turns: a few dozen tokens each.
std::string UserTurn(int turn) {
    return "Question " + std::to_string(turn + 1) + ": tell me more about foxes, dogs and why one jumps.";
}

std::string PromptOfTokens(const llama_vocab* vocab, int32_t target) {
    ChatHistory history;
    AddUserMessage(history, "");
    std::string prompt = BuildPrompt(history);
    std::vector<llama_token> tokens(prompt.size() * 4 + 16);
    const int32_t base = llama_tokenize(vocab, prompt.data(), static_cast<int32_t>(prompt.size()), tokens.data(),
                                        static_cast<int32_t>(tokens.size()), true, true);
    history.messages[0].text.assign(static_cast<size_t>(target - base), 'x');  // one token per 'x'
    return BuildPrompt(history);
}

// ---- the engine, as the program drives it ----

// The reply as the window recorded it.
struct Window {
    HWND hwnd = nullptr;
    std::vector<Received> received;
    int pieces = 0;
    std::string reply;
    Clock::time_point first_piece;
};

// Runs the loop until the worker's last message; false (with the error printed) when it failed.
bool PumpUntilDone(Window* window) {
    const auto done = [window] {
        if (window->received.empty()) return false;
        const UINT last = window->received.back().message;
        return last == WM_APP_LOAD_DONE || last == WM_APP_GEN_DONE || last == WM_APP_ERROR;
    };
    MSG message;
    while (!done() && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    window->pieces = CountOf(window->received, WM_APP_TOKEN);
    window->reply = JoinPieces(window->received);
    for (const Received& entry : window->received) {
        if (entry.message != WM_APP_TOKEN) continue;
        window->first_piece = entry.at;
        break;
    }
    if (!done() || window->received.back().message != WM_APP_ERROR) return true;
    fprintf(stderr, "engine_bench: %s\n", window->received.back().text.c_str());
    return false;
}

// One reply through a generation thread; returns its start time, the window has the rest.
Clock::time_point EngineReply(Engine* engine, Window* window, const std::string& prompt, int32_t max_tokens) {
    window->received.clear();
    auto* request = new GenerationRequest{window->hwnd, engine, prompt, nullptr, max_tokens};
    const Clock::time_point start = Clock::now();
    HANDLE thread = CreateThread(nullptr, 0, GenerationThread, request, 0, nullptr);
    PumpUntilDone(window);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return start;
}

int32_t PromptTokensDecoded(Engine* engine) {
    llama_synchronize(engine->ctx);
    return llama_perf_context(engine->ctx).n_p_eval;
}

void StartCounting(Engine* engine) {
    llama_synchronize(engine->ctx);
    llama_perf_context_reset(engine->ctx);
}

bool MeasureEngine(const std::filesystem::path& folder, Figures* figures) {
    Window window;
    window.hwnd = MakeRecordingWindow(&window.received);
    if (!window.hwnd) return false;

    // Load
    EnginePtr engine(new Engine);
    const std::string narrow = folder.string() + "/";
    const Clock::time_point load_start = Clock::now();
    // On a thread of its own, as the program loads: the UI thread never runs library work.
    struct LoadJob {
        LoadRequest* request;
        std::basic_string<WCHAR> folder;
    } job{new LoadRequest{window.hwnd, engine.get()}, std::basic_string<WCHAR>(narrow.begin(), narrow.end())};
    HANDLE loader = CreateThread(nullptr, 0, [](LPVOID parameter) -> DWORD {
        auto* job = static_cast<LoadJob*>(parameter);
        return LoadModelFromFolder(job->request, job->folder);
    }, &job, 0, nullptr);
    if (!loader) return false;
    const bool loaded = PumpUntilDone(&window);
    WaitForSingleObject(loader, INFINITE);
    CloseHandle(loader);
    if (!loaded) return false;
    figures->load_ms = Milliseconds(load_start, Clock::now());

    // Long prompt: time to its first token, from an empty cache.
    const std::string long_prompt = PromptOfTokens(engine->vocab, kLongPromptTokens);
    Clock::time_point start = EngineReply(engine.get(), &window, long_prompt, 1);
    figures->prompt_tokens_per_s = kLongPromptTokens / (Milliseconds(start, window.first_piece) / 1000.0);

    // Generation speed over 256 tokens.
    ResetEngine(engine.get());
    ChatHistory greeting;
    AddUserMessage(greeting, "Hello!");
    EngineReply(engine.get(), &window, BuildPrompt(greeting), kGeneratedTokens);
    figures->generated_tokens_per_s = (window.pieces - 1) / (Milliseconds(window.first_piece, Clock::now()) / 1000.0);

    // A growing conversation, as the host runs it.
    ResetEngine(engine.get());
    ChatHistory history;
    for (int turn = 0; turn < kTurns; ++turn) {
        AddUserMessage(history, UserTurn(turn));
        StartCounting(engine.get());
        start = EngineReply(engine.get(), &window, BuildPrompt(history), kTurnReplyTokens);
        figures->first_token_ms[turn] = Milliseconds(start, window.first_piece);
        figures->prompt_tokens_decoded[turn] = PromptTokensDecoded(engine.get());
        history.messages.push_back({1, window.reply});
    }
    DestroyWindow(window.hwnd);
    return true;
}

// ---- the plain libllama loop ----

struct Loop {
    llama_model* model = nullptr;
    const llama_vocab* vocab = nullptr;
    llama_context* ctx = nullptr;
    llama_sampler* sampler = nullptr;
    std::vector<llama_token> cached;
};

std::vector<llama_token> Tokenize(const llama_vocab* vocab, const std::string& text) {
    std::vector<llama_token> tokens(text.size() * 4 + 16);
    const int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(),
                                     static_cast<int32_t>(tokens.size()), true, true);
    tokens.resize(n > 0 ? n : 0);
    return tokens;
}

// Keeps the cached prefix, decodes the rest in one call, samples up to `max_tokens`.
// Returns the time of the first sampled token; counts decoded prompt tokens.
Clock::time_point LoopReply(Loop* loop, const std::string& prompt, int32_t max_tokens, int* generated,
                            int32_t* prompt_decoded, std::string* reply) {
    std::vector<llama_token> tokens = Tokenize(loop->vocab, prompt);
    size_t common = 0;
    while (common < loop->cached.size() && common < tokens.size() && loop->cached[common] == tokens[common]) ++common;
    if (common == tokens.size()) --common;
    llama_memory_seq_rm(llama_get_memory(loop->ctx), 0, static_cast<llama_pos>(common), -1);
    loop->cached.resize(common);
    std::vector<llama_token> rest(tokens.begin() + common, tokens.end());
    if (llama_decode(loop->ctx, llama_batch_get_one(rest.data(), static_cast<int32_t>(rest.size()))) != 0) return Clock::now();
    *prompt_decoded = static_cast<int32_t>(rest.size());
    loop->cached = tokens;
    llama_sampler_reset(loop->sampler);
    Clock::time_point first;
    *generated = 0;
    reply->clear();
    for (int32_t i = 0; i < max_tokens; ++i) {
        llama_token token = llama_sampler_sample(loop->sampler, loop->ctx, -1);
        if (i == 0) first = Clock::now();
        if (llama_vocab_is_eog(loop->vocab, token)) break;
        char piece[256];
        const int32_t length = llama_token_to_piece(loop->vocab, token, piece, sizeof piece, 0, false);
        if (length > 0) reply->append(piece, length);
        if (llama_decode(loop->ctx, llama_batch_get_one(&token, 1)) != 0) break;
        loop->cached.push_back(token);
        ++*generated;
    }
    return first;
}

bool MeasureLoop(const std::filesystem::path& folder, Figures* figures) {
    llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
    llama_backend_init();
    const int32_t n_threads = ResolveThreadCount(-1, std::thread::hardware_concurrency());
    const Clock::time_point load_start = Clock::now();
    llama_model_params model_params = llama_model_default_params();
    model_params.n_gpu_layers = 0;
    model_params.load_mode = LLAMA_LOAD_MODE_NONE;
    Loop loop;
    loop.model = llama_model_load_from_file((folder / "model.gguf").c_str(), model_params);
    if (!loop.model) return false;
    loop.vocab = llama_model_get_vocab(loop.model);
    llama_context_params context_params = llama_context_default_params();
    context_params.n_ctx = static_cast<uint32_t>(ResolveContextSize(0, llama_model_n_ctx_train(loop.model)));
    context_params.n_threads = n_threads;
    context_params.n_threads_batch = n_threads;
    loop.ctx = llama_init_from_model(loop.model, context_params);
    if (!loop.ctx) return false;
    loop.sampler = llama_sampler_chain_init(llama_sampler_chain_default_params());
    llama_sampler_chain_add(loop.sampler, llama_sampler_init_penalties(llama_vocab_n_tokens(loop.vocab), 64, 1.1f, 0, 0));
    llama_sampler_chain_add(loop.sampler, llama_sampler_init_temp(0.7f));
    llama_sampler_chain_add(loop.sampler, llama_sampler_init_top_p(0.9f, 1));
    llama_sampler_chain_add(loop.sampler, llama_sampler_init_dist(LLAMA_DEFAULT_SEED));
    figures->load_ms = Milliseconds(load_start, Clock::now());

    int generated = 0;
    int32_t decoded = 0;
    std::string reply;
    Clock::time_point start = Clock::now();
    Clock::time_point first = LoopReply(&loop, PromptOfTokens(loop.vocab, kLongPromptTokens), 1, &generated, &decoded, &reply);
    figures->prompt_tokens_per_s = kLongPromptTokens / (Milliseconds(start, first) / 1000.0);

    llama_memory_clear(llama_get_memory(loop.ctx), true);
    loop.cached.clear();
    ChatHistory greeting;
    AddUserMessage(greeting, "Hello!");
    first = LoopReply(&loop, BuildPrompt(greeting), kGeneratedTokens, &generated, &decoded, &reply);
    figures->generated_tokens_per_s = (generated - 1) / (Milliseconds(first, Clock::now()) / 1000.0);

    llama_memory_clear(llama_get_memory(loop.ctx), true);
    loop.cached.clear();
    ChatHistory history;
    for (int turn = 0; turn < kTurns; ++turn) {
        AddUserMessage(history, UserTurn(turn));
        start = Clock::now();
        first = LoopReply(&loop, BuildPrompt(history), kTurnReplyTokens, &generated, &decoded, &reply);
        figures->first_token_ms[turn] = Milliseconds(start, first);
        figures->prompt_tokens_decoded[turn] = decoded;
        history.messages.push_back({1, reply});
    }
    llama_sampler_free(loop.sampler);
    llama_free(loop.ctx);
    llama_model_free(loop.model);
    llama_backend_free();
    return true;
}

// Runs one side in a child process and reads its figures back.
bool MeasureInChild(bool (*measure)(const std::filesystem::path&, Figures*), const std::filesystem::path& folder,
                    Figures* figures) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return false;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_ends[0]);
        Figures own;
        const bool ok = measure(folder, &own);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        own.peak_rss_kb = usage.ru_maxrss;
        if (ok && write(pipe_ends[1], &own, sizeof own) != static_cast<ssize_t>(sizeof own)) _exit(1);
        _exit(ok ? 0 : 1);
    }
    close(pipe_ends[1]);
    const bool got = read(pipe_ends[0], figures, sizeof *figures) == static_cast<ssize_t>(sizeof *figures);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Each figure's median over the rounds (peak memory: the largest), so that one
// round disturbed by other work on the machine does not decide.
Figures Median(std::vector<Figures> rounds) {
    const auto median = [&rounds](auto field) {
        std::vector<double> values;
        for (const Figures& round : rounds) values.push_back(field(round));
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    Figures result;
    result.load_ms = median([](const Figures& f) { return f.load_ms; });
    result.prompt_tokens_per_s = median([](const Figures& f) { return f.prompt_tokens_per_s; });
    result.generated_tokens_per_s = median([](const Figures& f) { return f.generated_tokens_per_s; });
    for (int turn = 0; turn < kTurns; ++turn) {
        result.first_token_ms[turn] = median([turn](const Figures& f) { return f.first_token_ms[turn]; });
        result.prompt_tokens_decoded[turn] =
            static_cast<int32_t>(median([turn](const Figures& f) { return f.prompt_tokens_decoded[turn]; }));
    }
    for (const Figures& round : rounds) result.peak_rss_kb = std::max(result.peak_rss_kb, round.peak_rss_kb);
    return result;
}

void PrintRow(const char* name, double engine, double loop, const char* unit) {
    printf("%-40s %12.1f %12.1f  %-8s %8.3f\n", name, engine, loop, unit, loop != 0 ? engine / loop : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: engine_bench FOLDER  (FOLDER/model.gguf is written when missing)\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    if (!std::filesystem::exists(folder / "model.gguf")) {
        printf("writing the benchmark model (32k vocabulary, 768 wide, 12 layers, F16)...\n");
        if (!WriteBenchModel((folder / "model.gguf").string())) return 1;
    }
    // Rounds alternate between the two sides, so slow spells of the machine hit both.
    std::vector<Figures> engine_rounds(kRounds);
    std::vector<Figures> loop_rounds(kRounds);
    for (int round = 0; round < kRounds; ++round) {
        if (!MeasureInChild(MeasureEngine, folder, &engine_rounds[round]) ||
            !MeasureInChild(MeasureLoop, folder, &loop_rounds[round])) {
            fprintf(stderr, "engine_bench: a measurement failed\n");
            return 1;
        }
    }
    const Figures engine = Median(engine_rounds);
    const Figures loop = Median(loop_rounds);
    printf("model %s, %d threads\n", (folder / "model.gguf").c_str(),
           ResolveThreadCount(-1, std::thread::hardware_concurrency()));
    printf("medians of %d rounds\n%-40s %12s %12s  %-8s %8s\n", kRounds, "", "engine", "plain loop", "unit",
           "ratio");
    PrintRow("load", engine.load_ms, loop.load_ms, "ms");
    PrintRow("prompt, 1000 tokens", engine.prompt_tokens_per_s, loop.prompt_tokens_per_s, "tok/s");
    PrintRow("generation, 256 tokens", engine.generated_tokens_per_s, loop.generated_tokens_per_s, "tok/s");
    for (int turn : {0, kTurns - 1}) {
        const std::string name = "first token, turn " + std::to_string(turn + 1);
        PrintRow(name.c_str(), engine.first_token_ms[turn], loop.first_token_ms[turn], "ms");
        const std::string decoded = "  prompt tokens decoded, turn " + std::to_string(turn + 1);
        PrintRow(decoded.c_str(), engine.prompt_tokens_decoded[turn], loop.prompt_tokens_decoded[turn], "tokens");
    }
    PrintRow("peak resident memory", engine.peak_rss_kb / 1024.0, loop.peak_rss_kb / 1024.0, "MiB");
    return 0;
}
