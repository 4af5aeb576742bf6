// Engine benchmark: the engine's own generation thread, driven through a
// message-only window, against a plain libllama loop on the same model with the
// same thread count. Each side runs in a child process of its own so that its
// peak resident memory is its own. Then the plain loop again, taking on the
// engine's habits one at a time (a thread per reply, a batch per token, a piece
// posted per token), and each habit timed alone, so that a gap between the two
// sides shows where it comes from. Hostile input has a benchmark of its own
// (hostile_bench.cpp). Prints figures; judges nothing.

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

constexpr int32_t kLongPromptTokens = 1000;
constexpr int32_t kGeneratedTokens = 256;
constexpr int kTurns = 8;
constexpr int32_t kTurnReplyTokens = 48;
constexpr int kDefaultRounds = 3;

struct Figures {
    double load_ms = 0;
    double prompt_tokens_per_s = 0;
    double generated_tokens_per_s = 0;
    double first_token_ms[kTurns] = {};
    int32_t prompt_tokens_decoded[kTurns] = {};
    long peak_rss_kb = 0;
    double ui_cpu_us_per_piece = 0;  // the UI thread's CPU time per piece it received
    // Single habits of the engine, timed alone (MeasureHabits only).
    double build_sampler_us = 0;
    double batch_init_free_us = 0;
    double post_piece_us = 0;
    double one_token_same_thread_ms = 0;
    double one_token_fresh_thread_ms = 0;
    double next_token_fresh_thread_ms = 0;  // the new thread's second decode
    double one_token_fresh_thread_after_pause_ms = 0;
    double one_token_same_thread_faults = 0;  // the process's minor page faults during that decode
    double one_token_fresh_thread_faults = 0;
};

// The conversation's user turns: a few dozen tokens each.
std::string UserTurn(int turn) {
    return "Question " + std::to_string(turn + 1) + ": tell me more about foxes, dogs and why one jumps.";
}

// ---- the engine, as the program drives it ----

bool MeasureEngine(const std::filesystem::path& folder, Figures* figures) {
    Window window;
    window.hwnd = MakeRecordingWindow(&window.received);
    if (!window.hwnd) return false;

    // Load, on a thread of its own as the program loads: the UI thread never runs library work.
    const Clock::time_point load_start = Clock::now();
    EnginePtr engine = LoadThroughLoader(folder, &window);
    if (!engine) return false;
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
    figures->ui_cpu_us_per_piece = window.ui_cpu_us / std::max(window.pieces, 1);

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

// Which of the engine's habits the plain loop takes on, one at a time, so that
// the gap between the two sides can be pinned on one of them.
struct LoopShape {
    const char* name;
    bool fresh_thread;    // each reply on a new thread, as GenerationThread runs
    bool engine_batches;  // DecodeTokens' batch per chunk and per token, BuildSampler per reply
    bool post_pieces;     // PostPiece per token to a window whose loop the main thread runs
};

constexpr LoopShape kPlainLoop = {"plain loop", false, false, false};
constexpr LoopShape kLoopShapes[] = {
    kPlainLoop,
    {"  + fresh thread per reply", true, false, false},
    {"  + engine's batches and sampler rebuild", false, true, false},
    {"  + fresh thread, piece posted per token", true, false, true},
    {"  + all three (the engine's pattern)", true, true, true},
};
constexpr int kShapeCount = static_cast<int>(sizeof kLoopShapes / sizeof kLoopShapes[0]);

struct Loop {
    LoopShape shape = kPlainLoop;
    Engine handles;  // model, vocab, ctx and sampler; freed by CloseLoop
    Window window;   // only for shape.post_pieces
};

std::vector<llama_token> Tokenize(const llama_vocab* vocab, const std::string& text) {
    std::vector<llama_token> tokens(text.size() * 4 + 16);
    const int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(),
                                     static_cast<int32_t>(tokens.size()), true, true);
    tokens.resize(n > 0 ? n : 0);
    return tokens;
}

bool LoopDecode(Loop* loop, llama_token* tokens, int32_t count) {
    if (loop->shape.engine_batches) return DecodeTokens(&loop->handles, tokens, count, loop->handles.n_past, nullptr) == count;
    return llama_decode(loop->handles.ctx, llama_batch_get_one(tokens, count)) == 0;
}

struct LoopReplyResult {
    Clock::time_point first;  // when the first token was sampled
    int generated = 0;
    int32_t prompt_decoded = 0;
    std::string reply;
};

// Keeps the cached prefix, decodes the rest, samples up to `max_tokens`.
void LoopReplyHere(Loop* loop, const std::string& prompt, int32_t max_tokens, LoopReplyResult* result) {
    Engine& engine = loop->handles;
    std::vector<llama_token> tokens = Tokenize(engine.vocab, prompt);
    size_t common = 0;
    while (common < engine.cached_tokens.size() && common < tokens.size() &&
           engine.cached_tokens[common] == tokens[common]) {
        ++common;
    }
    if (common == tokens.size()) --common;
    llama_memory_seq_rm(llama_get_memory(engine.ctx), 0, static_cast<llama_pos>(common), -1);
    engine.cached_tokens.resize(common);
    engine.n_past = static_cast<int32_t>(common);
    std::vector<llama_token> rest(tokens.begin() + common, tokens.end());
    result->first = Clock::now();
    if (!LoopDecode(loop, rest.data(), static_cast<int32_t>(rest.size()))) return;
    result->prompt_decoded = static_cast<int32_t>(rest.size());
    engine.cached_tokens = tokens;
    engine.n_past = static_cast<int32_t>(tokens.size());
    if (loop->shape.engine_batches) {
        BuildSampler(&engine);
    } else {
        llama_sampler_reset(engine.sampler);
    }
    for (int32_t i = 0; i < max_tokens; ++i) {
        llama_token token = llama_sampler_sample(engine.sampler, engine.ctx, -1);
        if (i == 0) result->first = Clock::now();
        if (llama_vocab_is_eog(engine.vocab, token)) break;
        char piece[256];
        const int32_t length = llama_token_to_piece(engine.vocab, token, piece, sizeof piece, 0, false);
        if (length > 0) result->reply.append(piece, length);
        if (length > 0 && loop->shape.post_pieces) PostPiece(loop->window.hwnd, std::string(piece, length));
        if (!LoopDecode(loop, &token, 1)) break;
        engine.cached_tokens.push_back(token);
        engine.n_past += 1;
        ++result->generated;
    }
}

// One reply, on this thread or on a new one as the shape asks.
LoopReplyResult LoopReply(Loop* loop, const std::string& prompt, int32_t max_tokens) {
    LoopReplyResult result;
    if (!loop->shape.fresh_thread) {
        LoopReplyHere(loop, prompt, max_tokens, &result);
        return result;
    }
    struct Job {
        Loop* loop;
        const std::string* prompt;
        int32_t max_tokens;
        LoopReplyResult* result;
    } job{loop, &prompt, max_tokens, &result};
    loop->window.received.clear();
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID parameter) -> DWORD {
        auto* job = static_cast<Job*>(parameter);
        LoopReplyHere(job->loop, *job->prompt, job->max_tokens, job->result);
        if (job->loop->shape.post_pieces) PostMessageW(job->loop->window.hwnd, WM_APP_GEN_DONE, 0, 0);
        return 0;
    }, &job, 0, nullptr);
    if (!thread) return result;
    if (loop->shape.post_pieces) PumpUntilDone(&loop->window);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return result;
}

void ForgetCache(Loop* loop) {
    llama_memory_clear(llama_get_memory(loop->handles.ctx), true);
    loop->handles.cached_tokens.clear();
    loop->handles.n_past = 0;
}

// Loads the model and a context as the engine does, with the engine's sampler chain.
bool OpenLoop(const std::filesystem::path& folder, Loop* loop) {
    llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
    llama_backend_init();
    const int32_t n_threads = ResolveThreadCount(-1, std::thread::hardware_concurrency());
    llama_model_params model_params = llama_model_default_params();
    model_params.n_gpu_layers = 0;
    model_params.load_mode = LLAMA_LOAD_MODE_NONE;
    Engine& engine = loop->handles;
    engine.model = llama_model_load_from_file((folder / "model.gguf").c_str(), model_params);
    if (!engine.model) return false;
    engine.vocab = llama_model_get_vocab(engine.model);
    llama_context_params context_params = llama_context_default_params();
    context_params.n_ctx = static_cast<uint32_t>(ResolveContextSize(0, llama_model_n_ctx_train(engine.model)));
    context_params.n_threads = n_threads;
    context_params.n_threads_batch = n_threads;
    engine.ctx = llama_init_from_model(engine.model, context_params);
    if (!engine.ctx) return false;
    BuildSampler(&engine);  // the engine's chain: penalties over 64, temperature, top-p, draw
    return true;
}

void CloseLoop(Loop* loop) {
    if (loop->window.hwnd) DestroyWindow(loop->window.hwnd);
    llama_sampler_free(loop->handles.sampler);
    llama_free(loop->handles.ctx);
    llama_model_free(loop->handles.model);
    llama_backend_free();
}

bool MeasureLoopShaped(const std::filesystem::path& folder, const LoopShape& shape, Figures* figures) {
    Loop loop;
    loop.shape = shape;
    const Clock::time_point load_start = Clock::now();
    if (!OpenLoop(folder, &loop)) return false;
    Engine& engine = loop.handles;
    figures->load_ms = Milliseconds(load_start, Clock::now());
    if (shape.post_pieces) {
        loop.window.hwnd = MakeRecordingWindow(&loop.window.received);
        if (!loop.window.hwnd) return false;
    }

    Clock::time_point start = Clock::now();
    LoopReplyResult result = LoopReply(&loop, PromptOfTokens(engine.vocab, kLongPromptTokens), 1);
    figures->prompt_tokens_per_s = kLongPromptTokens / (Milliseconds(start, result.first) / 1000.0);

    ForgetCache(&loop);
    ChatHistory greeting;
    AddUserMessage(greeting, "Hello!");
    result = LoopReply(&loop, BuildPrompt(greeting), kGeneratedTokens);
    figures->generated_tokens_per_s = (result.generated - 1) / (Milliseconds(result.first, Clock::now()) / 1000.0);
    if (shape.post_pieces) figures->ui_cpu_us_per_piece = loop.window.ui_cpu_us / std::max(result.generated, 1);

    ForgetCache(&loop);
    ChatHistory history;
    for (int turn = 0; turn < kTurns; ++turn) {
        AddUserMessage(history, UserTurn(turn));
        start = Clock::now();
        result = LoopReply(&loop, BuildPrompt(history), kTurnReplyTokens);
        figures->first_token_ms[turn] = Milliseconds(start, result.first);
        figures->prompt_tokens_decoded[turn] = result.prompt_decoded;
        history.messages.push_back({1, result.reply});
    }
    CloseLoop(&loop);
    return true;
}

struct DecodeCost {
    double ms = 0;
    double page_faults = 0;  // minor faults of the whole process: fresh memory touched
};

long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Decodes one token at position 0 of an emptied cache.
DecodeCost TimeOneToken(Engine* engine) {
    llama_memory_clear(llama_get_memory(engine->ctx), true);
    llama_token token = 0;
    const long faults = MinorFaults();
    const Clock::time_point start = Clock::now();
    DecodeTokens(engine, &token, 1, 0, nullptr);
    llama_synchronize(engine->ctx);
    DecodeCost cost;
    cost.ms = Milliseconds(start, Clock::now());
    cost.page_faults = static_cast<double>(MinorFaults() - faults);
    return cost;
}

// Each of the engine's per-reply and per-token habits, timed alone.
bool MeasureHabits(const std::filesystem::path& folder, Figures* figures) {
    Loop loop;
    if (!OpenLoop(folder, &loop)) return false;
    Engine& engine = loop.handles;
    constexpr int kRepeats = 200;

    Clock::time_point start = Clock::now();
    for (int i = 0; i < kRepeats; ++i) BuildSampler(&engine);
    figures->build_sampler_us = Milliseconds(start, Clock::now()) * 1000.0 / kRepeats;

    constexpr int kBatches = 100000;
    start = Clock::now();
    for (int i = 0; i < kBatches; ++i) {
        llama_batch batch = llama_batch_init(1, 0, 1);
        batch.token[0] = i;
        batch.n_tokens = 1;
        llama_batch_free(batch);
    }
    figures->batch_init_free_us = Milliseconds(start, Clock::now()) * 1000.0 / kBatches;

    // Posting from this thread, the window's loop drained afterwards.
    loop.window.hwnd = MakeRecordingWindow(&loop.window.received);
    if (!loop.window.hwnd) return false;
    constexpr int kPieces = 20000;
    const std::string piece = " fox";
    start = Clock::now();
    for (int i = 0; i < kPieces; ++i) PostPiece(loop.window.hwnd, piece);
    figures->post_piece_us = Milliseconds(start, Clock::now()) * 1000.0 / kPieces;
    PostMessageW(loop.window.hwnd, WM_APP_GEN_DONE, 0, 0);
    PumpUntilDone(&loop.window);

    // One token: on a thread that decoded before, and on a new thread each time
    // (as each reply's GenerationThread is), whose decode starts a new thread team.
    // This thread decodes nothing: a thread team it kept alive would crowd the cores.
    struct Job {
        Engine* engine;
        int repeats;
        std::vector<DecodeCost> costs;
    };
    const auto run_on_new_thread = [](Job* job) {
        HANDLE thread = CreateThread(nullptr, 0, [](LPVOID parameter) -> DWORD {
            auto* job = static_cast<Job*>(parameter);
            for (int i = 0; i < job->repeats; ++i) job->costs.push_back(TimeOneToken(job->engine));
            return 0;
        }, job, 0, nullptr);
        if (!thread) return false;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        return true;
    };
    std::vector<double> same_thread, fresh_thread, fresh_thread_again, same_faults, fresh_faults;
    Job long_lived{&engine, 24, {}};
    if (!run_on_new_thread(&long_lived)) return false;
    for (size_t i = 3; i < long_lived.costs.size(); ++i) {  // the first three warm up
        same_thread.push_back(long_lived.costs[i].ms);
        same_faults.push_back(long_lived.costs[i].page_faults);
    }
    for (int i = 0; i < 21; ++i) {
        Job fresh{&engine, 2, {}};
        if (!run_on_new_thread(&fresh) || fresh.costs.size() != 2) return false;
        fresh_thread.push_back(fresh.costs[0].ms);
        fresh_faults.push_back(fresh.costs[0].page_faults);
        fresh_thread_again.push_back(fresh.costs[1].ms);
    }
    // As a user replies: seconds pass between the end of one reply's thread and the next.
    std::vector<double> fresh_after_pause;
    for (int i = 0; i < 11; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Job fresh{&engine, 1, {}};
        if (!run_on_new_thread(&fresh) || fresh.costs.size() != 1) return false;
        fresh_after_pause.push_back(fresh.costs[0].ms);
    }
    figures->one_token_fresh_thread_after_pause_ms = MedianOf(fresh_after_pause);
    figures->one_token_same_thread_ms = MedianOf(same_thread);
    figures->one_token_fresh_thread_ms = MedianOf(fresh_thread);
    figures->next_token_fresh_thread_ms = MedianOf(fresh_thread_again);
    figures->one_token_same_thread_faults = MedianOf(same_faults);
    figures->one_token_fresh_thread_faults = MedianOf(fresh_faults);
    CloseLoop(&loop);
    return true;
}

// Runs one side in a child process and reads its figures back, its peak memory among them.
bool MeasureSide(const std::function<bool(Figures*)>& measure, Figures* figures) {
    return MeasureInChild([&measure](void* result) {
        Figures* own = static_cast<Figures*>(result);
        const bool ok = measure(own);
        own->peak_rss_kb = PeakResidentKb();
        return ok;
    }, figures, sizeof *figures);
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
    result.ui_cpu_us_per_piece = median([](const Figures& f) { return f.ui_cpu_us_per_piece; });
    result.build_sampler_us = median([](const Figures& f) { return f.build_sampler_us; });
    result.batch_init_free_us = median([](const Figures& f) { return f.batch_init_free_us; });
    result.post_piece_us = median([](const Figures& f) { return f.post_piece_us; });
    result.one_token_same_thread_ms = median([](const Figures& f) { return f.one_token_same_thread_ms; });
    result.one_token_fresh_thread_ms = median([](const Figures& f) { return f.one_token_fresh_thread_ms; });
    result.next_token_fresh_thread_ms = median([](const Figures& f) { return f.next_token_fresh_thread_ms; });
    result.one_token_fresh_thread_after_pause_ms =
        median([](const Figures& f) { return f.one_token_fresh_thread_after_pause_ms; });
    result.one_token_same_thread_faults = median([](const Figures& f) { return f.one_token_same_thread_faults; });
    result.one_token_fresh_thread_faults = median([](const Figures& f) { return f.one_token_fresh_thread_faults; });
    for (const Figures& round : rounds) result.peak_rss_kb = std::max(result.peak_rss_kb, round.peak_rss_kb);
    return result;
}

void PrintRow(const char* name, double engine, double loop, const char* unit) {
    printf("%-40s %12.1f %12.1f  %-8s %8.3f\n", name, engine, loop, unit, loop != 0 ? engine / loop : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc == 3 ? atoi(argv[2]) : kDefaultRounds;
    if (argc < 2 || argc > 3 || rounds < 1) {
        fprintf(stderr, "usage: engine_bench FOLDER [ROUNDS]  (FOLDER/model.gguf is written when missing)\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    if (!EnsureBenchModels(folder)) return 1;
    // Rounds alternate between the sides, so slow spells of the machine hit all of them.
    std::vector<Figures> engine_rounds(rounds);
    std::vector<Figures> habit_rounds(rounds);
    std::vector<std::vector<Figures>> shape_rounds(kShapeCount, std::vector<Figures>(rounds));
    for (int round = 0; round < rounds; ++round) {
        bool ok = MeasureSide([&folder](Figures* f) { return MeasureEngine(folder, f); }, &engine_rounds[round]) &&
                  MeasureSide([&folder](Figures* f) { return MeasureHabits(folder, f); }, &habit_rounds[round]);
        for (int shape = 0; ok && shape < kShapeCount; ++shape) {
            ok = MeasureSide([&folder, shape](Figures* f) { return MeasureLoopShaped(folder, kLoopShapes[shape], f); },
                             &shape_rounds[shape][round]);
        }
        if (!ok) {
            fprintf(stderr, "engine bench: a measurement failed\n");
            return 1;
        }
    }
    const Figures engine = Median(engine_rounds);
    std::vector<Figures> shapes;
    for (const std::vector<Figures>& per_shape : shape_rounds) shapes.push_back(Median(per_shape));
    const Figures& loop = shapes[0];
    printf("model %s, %d threads\n", (folder / "model.gguf").c_str(),
           ResolveThreadCount(-1, std::thread::hardware_concurrency()));
    printf("medians of %d rounds\n%-40s %12s %12s  %-8s %8s\n", rounds, "", "engine", "plain loop", "unit",
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

    // Where the gap comes from: the plain loop taking on the engine's habits one by one.
    printf("\nthe plain loop with the engine's habits (ratio: to the plain loop)\n%-40s %12s %13s %8s %12s %8s %12s %8s\n",
           "", "gen tok/s", "(min-max)", "ratio", "turn 1 ms", "ratio", "turn 8 ms", "ratio");
    const auto print_shape = [&loop](const char* name, const std::vector<Figures>& per_round) {
        const Figures f = Median(per_round);
        double slowest = f.generated_tokens_per_s, fastest = f.generated_tokens_per_s;
        for (const Figures& round : per_round) {
            slowest = std::min(slowest, round.generated_tokens_per_s);
            fastest = std::max(fastest, round.generated_tokens_per_s);
        }
        printf("%-40s %12.1f %6.0f-%-6.0f %8.3f %12.1f %8.3f %12.1f %8.3f\n", name, f.generated_tokens_per_s, slowest,
               fastest, f.generated_tokens_per_s / loop.generated_tokens_per_s, f.first_token_ms[0],
               f.first_token_ms[0] / loop.first_token_ms[0], f.first_token_ms[kTurns - 1],
               f.first_token_ms[kTurns - 1] / loop.first_token_ms[kTurns - 1]);
    };
    for (int shape = 0; shape < kShapeCount; ++shape) print_shape(kLoopShapes[shape].name, shape_rounds[shape]);
    print_shape("engine", engine_rounds);

    // Each habit alone, against the time of one generated token.
    const Figures habits = Median(habit_rounds);
    const double token_us = 1e6 / loop.generated_tokens_per_s;
    printf("\nthe engine's habits timed alone (share: of one generated token, %.0f us)\n", token_us);
    const auto print_habit = [token_us](const char* name, double us, const char* when) {
        printf("%-52s %10.2f us %8.2f%%  %s\n", name, us, 100.0 * us / token_us, when);
    };
    print_habit("BuildSampler", habits.build_sampler_us, "once per reply");
    print_habit("llama_batch_init + llama_batch_free, 1 token", habits.batch_init_free_us, "per token");
    print_habit("PostPiece (generation thread)", habits.post_piece_us, "per token");
    print_habit("UI thread CPU per received piece, engine", engine.ui_cpu_us_per_piece, "per token, other core");
    print_habit("one token decoded, on a thread that decoded before", habits.one_token_same_thread_ms * 1000.0, "");
    print_habit("one token decoded, first on a new thread", habits.one_token_fresh_thread_ms * 1000.0,
                "once per reply");
    print_habit("  then one more on that thread", habits.next_token_fresh_thread_ms * 1000.0, "");
    print_habit("one token decoded, new thread 300 ms after the last", habits.one_token_fresh_thread_after_pause_ms * 1000.0,
                "once per reply");
    printf("%-52s %10.2f ms  (a new thread team per reply; once per reply)\n", "  first decode on a new thread costs",
           habits.one_token_fresh_thread_ms - habits.one_token_same_thread_ms);
    printf("%-52s %10.0f vs %.0f on the same thread\n", "  page faults in that first decode",
           habits.one_token_fresh_thread_faults, habits.one_token_same_thread_faults);
    return 0;
}
