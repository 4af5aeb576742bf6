// What the engine benchmarks share. Main thread of a benchmark program.

#include "bench_support.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "tiny_model.h"

namespace {

// CPU time the calling thread has used so far.
double ThreadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

bool WriteModel(const TinyModel& model, const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    std::string error;
    if (WriteTinyModel(model, path.string(), &error)) return true;
    fprintf(stderr, "engine bench: %s\n", error.c_str());
    return false;
}

}  // namespace

double Milliseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool EnsureBenchModels(const std::filesystem::path& folder) {
    TinyModel model = EndlessReply("The quick brown fox jumps over the lazy dog. ");  // never ends by itself
    model.n_vocab_padding = 32000 - 5 - 256 - static_cast<int32_t>(model.pieces.size());
    // A realistic size: about 134M parameters.
    if (!std::filesystem::exists(folder / "model.gguf")) {
        printf("writing the benchmark model (32k vocabulary, 768 wide, 12 layers, F16)...\n");
        TinyModel wide = model;
        wide.n_embd = 768;
        wide.n_layer = 12;
        wide.n_ff = 2048;
        wide.weight_type = TinyWeightType::F16;
        if (!WriteModel(wide, folder / "model.gguf")) return false;
    }
    // Thin: the cost of refusing a message depends only on the vocabulary and the context.
    if (!std::filesystem::exists(folder / "context-32k" / "model.gguf")) {
        printf("writing the 32k-context model (32k vocabulary, thin)...\n");
        TinyModel thin = model;
        thin.n_ctx_train = 32768;
        if (!WriteModel(thin, folder / "context-32k" / "model.gguf")) return false;
    }
    return true;
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

bool PumpUntilDone(Window* window, bool error_expected) {
    const auto done = [window] {
        if (window->received.empty()) return false;
        const UINT last = window->received.back().message;
        return last == WM_APP_LOAD_DONE || last == WM_APP_GEN_DONE || last == WM_APP_ERROR;
    };
    MSG message;
    const double cpu_start = ThreadCpuMicroseconds();
    while (!done() && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    window->ui_cpu_us = ThreadCpuMicroseconds() - cpu_start;
    window->pieces = CountOf(window->received, WM_APP_TOKEN);
    window->reply = JoinPieces(window->received);
    for (const Received& entry : window->received) {
        if (entry.message != WM_APP_TOKEN) continue;
        window->first_piece = entry.at;
        break;
    }
    if (!done() || window->received.back().message != WM_APP_ERROR) return true;
    if (error_expected) return false;
    fprintf(stderr, "engine bench: %s\n", window->received.back().text.c_str());
    return false;
}

Clock::time_point EngineReply(Engine* engine, Window* window, const std::string& prompt, int32_t max_tokens,
                              bool error_expected, std::atomic<bool>* stop_flag) {
    window->received.clear();
    auto* request = new GenerationRequest{window->hwnd, engine, prompt, stop_flag, max_tokens};
    const Clock::time_point start = Clock::now();
    HANDLE thread = StartGenerationThread(request);
    if (!thread) {
        DeleteGenerationRequest(request);
        return start;
    }
    PumpUntilDone(window, error_expected);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return start;
}

EnginePtr LoadThroughLoader(const std::filesystem::path& folder, Window* window) {
    window->received.clear();
    EnginePtr engine(new Engine);
    const std::string narrow = folder.string() + "/";
    struct LoadJob {
        LoadRequest* request;
        std::basic_string<WCHAR> folder;
    } job{new LoadRequest{window->hwnd, engine.get()}, std::basic_string<WCHAR>(narrow.begin(), narrow.end())};
    HANDLE loader = CreateThread(nullptr, 0, [](LPVOID parameter) -> DWORD {
        auto* job = static_cast<LoadJob*>(parameter);
        return LoadModelFromFolder(job->request, job->folder);
    }, &job, 0, nullptr);
    if (!loader) return nullptr;
    const bool loaded = PumpUntilDone(window);
    WaitForSingleObject(loader, INFINITE);
    CloseHandle(loader);
    return loaded ? std::move(engine) : nullptr;
}

void StartCounting(Engine* engine) {
    llama_synchronize(engine->ctx);
    llama_perf_context_reset(engine->ctx);
}

int32_t PromptTokensDecoded(Engine* engine) {
    llama_synchronize(engine->ctx);
    return llama_perf_context(engine->ctx).n_p_eval;
}

long PeakResidentKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool MeasureInChild(const std::function<bool(void* result)>& measure, void* result, size_t size) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return false;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_ends[0]);
        const bool ok = measure(result);  // the child's own copy of the record
        if (ok && write(pipe_ends[1], result, size) != static_cast<ssize_t>(size)) _exit(1);
        _exit(ok ? 0 : 1);
    }
    close(pipe_ends[1]);
    const bool got = read(pipe_ends[0], result, size) == static_cast<ssize_t>(size);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
