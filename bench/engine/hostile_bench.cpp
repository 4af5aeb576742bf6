// Hostile-input benchmark: pasted blobs far beyond a 32k context, refused; a
// stop while a long prompt decodes; chat markers removed from a pasted text; and
// the count that refuses a prompt too long, on llama.cpp's own vocabularies: its
// build at every load, the memory it keeps, and its time on long prompts. Each
// measurement of a reply or a count runs in a child process of its own. Prints
// figures; judges nothing.

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

// Every allocation through operator new is counted, so the figures show what
// the count's data costs. (The library's C allocations are not counted; the
// count makes none.)
namespace {
std::atomic<long long> live_bytes{0};
std::atomic<long long> peak_bytes{0};
}  // namespace

void* operator new(size_t size) {
    void* block = malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    const long long live = live_bytes += static_cast<long long>(malloc_usable_size(block));
    long long peak = peak_bytes.load();
    while (live > peak && !peak_bytes.compare_exchange_weak(peak, live)) {
    }
    return block;
}
void operator delete(void* block) noexcept {
    if (!block) return;
    live_bytes -= static_cast<long long>(malloc_usable_size(block));
    free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

constexpr int kDefaultRounds = 3;

// Pasted messages, each sent as the one user turn of a chat with a 32k context.
struct HostileMessage {
    const char* name;
    size_t bytes;
    const char* unit;  // repeated to fill the bytes; null: base64 without spaces
};
constexpr HostileMessage kHostileMessages[] = {
    {"refuse 1 MB of base64", 1 << 20, nullptr},
    {"refuse 10 MB of base64", 10 << 20, nullptr},
    {"refuse 10 MB of one character", 10 << 20, "a"},
    {"refuse 380 KB of base64 (counted, not tokenised)", 380000, nullptr},  // just under 32768 x the longest piece
    {"refuse 300 KB of token texts no merge gives", 300000, "[pad12345]"},  // tokenising it: 4 s
    {"32,000 spaces (3 tokens each), tokenised, refused", 32000, " "},  // about the most the cheap count lets through
};
constexpr int kHostileCount = static_cast<int>(sizeof kHostileMessages / sizeof kHostileMessages[0]);

constexpr int32_t kStoppedPromptTokens = 4000;
constexpr int kStopAfterMs = 200;

// From the reply's start (or the stop) to its final message.
struct HostileFigures {
    double refuse_ms[kHostileCount] = {};  // kHostileMessages, in order
    double stop_during_prompt_ms = 0;      // from the stop to the reply's end
    int32_t stop_prompt_tokens_decoded = 0;
};

std::string HostileText(const HostileMessage& message) {
    if (message.unit) {
        std::string text;
        while (text.size() < message.bytes) text += message.unit;
        return text;
    }
    static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text(message.bytes, 'A');
    uint32_t state = 12345;
    for (char& c : text) {
        state = state * 1103515245u + 12345u;
        c = kBase64[(state >> 16) % 64];
    }
    return text;
}

// Refusing pasted blobs, and a stop while a long prompt decodes.
bool MeasureHostile(const std::filesystem::path& folder, HostileFigures* figures) {
    Window window;
    window.hwnd = MakeRecordingWindow(&window.received);
    if (!window.hwnd) return false;
    {
        EnginePtr engine = LoadThroughLoader(folder / "context-32k", &window);
        if (!engine) return false;
        for (int i = 0; i < kHostileCount; ++i) {
            ChatHistory history;
            AddUserMessage(history, HostileText(kHostileMessages[i]));
            const Clock::time_point start = EngineReply(engine.get(), &window, BuildPrompt(history), -1, true);
            if (window.received.empty() || window.received.back().message != WM_APP_ERROR) return false;
            figures->refuse_ms[i] = Milliseconds(start, window.received.back().at);
        }
    }
    // The stop arrives while the prompt's chunks decode.
    EnginePtr engine = LoadThroughLoader(folder, &window);
    if (!engine) return false;
    std::atomic<bool> stop{false};
    window.received.clear();
    const std::string prompt = PromptOfTokens(engine->vocab, kStoppedPromptTokens);
    auto* request = new GenerationRequest{window.hwnd, engine.get(), prompt, &stop, -1};
    StartCounting(engine.get());
    HANDLE thread = StartGenerationThread(request);
    if (!thread) {
        DeleteGenerationRequest(request);
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopAfterMs));
    const Clock::time_point stopped = Clock::now();
    stop.store(true);
    PumpUntilDone(&window);
    figures->stop_during_prompt_ms = Milliseconds(stopped, window.received.back().at);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    figures->stop_prompt_tokens_decoded = PromptTokensDecoded(engine.get());
    DestroyWindow(window.hwnd);
    return true;
}

// ---- removing chat markers from a pasted text, on the window's thread ----

constexpr int kCleaningRepeats = 5;

struct PastedText {
    const char* name;
    const char* unit;  // repeated to 1 MiB
};
constexpr PastedText kPastedTexts[] = {
    {"1 MiB of prose, no markers", "The quick brown fox jumps over the lazy dog. "},
    {"1 MiB of markers", "<|im_start|><|im_end|>"},
    {"1 MiB of nested markers", "<|im_<|im_end|>start|>"},  // each erasure forms the next marker
    {"1 MiB of marker heads", "<|im_start|<|im_end|"},        // every byte a near miss
};

// AddUserMessage on each pasted text, the median of a few runs, in ms.
void MeasureCleaning() {
    printf("\nremoving chat markers from a pasted user text (AddUserMessage, median of %d)\n", kCleaningRepeats);
    for (const PastedText& pasted : kPastedTexts) {
        std::string text;
        while (text.size() < (1u << 20)) text += pasted.unit;
        std::vector<double> times;
        for (int i = 0; i < kCleaningRepeats; ++i) {
            ChatHistory history;
            const Clock::time_point start = Clock::now();
            AddUserMessage(history, text);
            times.push_back(Milliseconds(start, Clock::now()));
        }
        printf("%-52s %10.2f ms\n", pasted.name, MedianOf(times));
    }
}

// ---- the count, on real vocabularies ----

const char* const kCountedVocabularies[] = {"qwen2", "llama-spm", "command-r"};  // models/ggml-vocab-NAME.gguf
constexpr int kBuilds = 11;
constexpr int kCountRepeats = 5;
constexpr int32_t kContext = 32768;

struct CountFigures {
    int32_t n_tokens = 0;
    bool counted = false;         // the vocabulary has a count at all
    double build_ms = 0;          // MakePromptBound, as every load runs it
    double held_mib = 0;          // what the bound keeps allocated
    double build_peak_mib = 0;    // the most the build had allocated at once, the bound included
    double long_prompt_ms = 0;    // PromptCannotFit on a 100 KB conversation in a 32k context
    double base64_ms = 0;         // the same on 1 MB of base64
    double spaces_ms = 0;         // the same on 100 KB of spaces (the deepest piece matches)
};

// PromptCannotFit on `prompt` in a 32k context, the median of a few runs.
double CountMs(const PromptBound& bound, const std::string& prompt) {
    std::vector<double> times;
    for (int i = 0; i < kCountRepeats; ++i) {
        const Clock::time_point start = Clock::now();
        volatile bool refused = PromptCannotFit(bound, prompt, kContext);
        (void)refused;
        times.push_back(Milliseconds(start, Clock::now()));
    }
    return MedianOf(times);
}

std::string PromptWithMessage(const std::string& message) {
    ChatHistory history;
    AddUserMessage(history, message);
    return BuildPrompt(history);
}

bool MeasureCount(const std::string& vocabulary, CountFigures* figures) {
    const std::string path = std::string(VELKIN_VOCABULARY_FOLDER) + "/ggml-vocab-" + vocabulary + ".gguf";
    llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
    llama_backend_init();
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    llama_model* model = llama_model_load_from_file(path.c_str(), params);
    if (!model) {
        fprintf(stderr, "hostile bench: cannot load %s\n", path.c_str());
        return false;
    }
    const llama_vocab* vocab = llama_model_get_vocab(model);
    figures->n_tokens = llama_vocab_n_tokens(vocab);

    // The build, as the loader runs it.
    std::vector<double> build_ms;
    PromptBound* bound = nullptr;
    for (int i = 0; i < kBuilds; ++i) {
        delete bound;
        const long long before = live_bytes.load();
        peak_bytes.store(before);
        const Clock::time_point start = Clock::now();
        bound = new PromptBound(MakePromptBound(model, vocab));
        build_ms.push_back(Milliseconds(start, Clock::now()));
        figures->held_mib = (live_bytes.load() - before) / 1048576.0;
        figures->build_peak_mib = std::max(figures->build_peak_mib, (peak_bytes.load() - before) / 1048576.0);
    }
    figures->build_ms = MedianOf(build_ms);
    figures->counted = PromptCannotFit(*bound, std::string(10 << 20, 'a'), 1);

    // The count on long prompts.
    std::string conversation;
    while (conversation.size() < 100000) {
        conversation += "The quick brown fox jumps over the lazy dog. Il \xC3\xA9tait une fois.\n"
                        "```js\nfor (let i = 0; i < 10; ++i) console.log(i);\n```\n";
    }
    figures->long_prompt_ms = CountMs(*bound, PromptWithMessage(conversation));
    figures->base64_ms = CountMs(*bound, PromptWithMessage(HostileText({"", 1 << 20, nullptr})));
    figures->spaces_ms = CountMs(*bound, PromptWithMessage(std::string(100000, ' ')));
    delete bound;
    llama_model_free(model);
    llama_backend_free();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc == 3 ? atoi(argv[2]) : kDefaultRounds;
    if (argc < 2 || argc > 3 || rounds < 1) {
        fprintf(stderr, "usage: hostile_bench FOLDER [ROUNDS]  (the models in FOLDER are written when missing)\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    if (!EnsureBenchModels(folder)) return 1;

    // Hostile input: from the reply's start (or the stop) to its final message.
    std::vector<HostileFigures> hostile_rounds(rounds);
    for (HostileFigures& round : hostile_rounds) {
        if (!MeasureInChild([&folder](void* f) { return MeasureHostile(folder, static_cast<HostileFigures*>(f)); },
                            &round, sizeof round)) {
            fprintf(stderr, "hostile bench: a measurement failed\n");
            return 1;
        }
    }
    printf("hostile input (32k vocabulary, 32k context; the stop: the model above, 4096 context), medians of %d rounds\n",
           rounds);
    for (int i = 0; i < kHostileCount; ++i) {
        std::vector<double> times;
        for (const HostileFigures& round : hostile_rounds) times.push_back(round.refuse_ms[i]);
        printf("%-52s %10.1f ms\n", kHostileMessages[i].name, MedianOf(times));
    }
    std::vector<double> stop_ms, stop_decoded;
    for (const HostileFigures& round : hostile_rounds) {
        stop_ms.push_back(round.stop_during_prompt_ms);
        stop_decoded.push_back(round.stop_prompt_tokens_decoded);
    }
    printf("%-52s %10.1f ms  (prompt tokens decoded: %.0f of %d)\n", "stop 200 ms into a 4000-token prompt, to its end",
           MedianOf(stop_ms), MedianOf(stop_decoded), kStoppedPromptTokens);

    MeasureCleaning();

    // The count: built at every load, run on every reply.
    printf("\nthe count of a prompt's fewest tokens, vocabulary only (build: median of %d; counts: 32k context, "
           "median of %d)\n%-12s %8s %8s %10s %10s %12s %14s %14s %14s\n",
           kBuilds, kCountRepeats, "vocabulary", "tokens", "counted", "build ms", "held MiB", "build peak", "100 KB chat ms",
           "1 MB base64 ms", "100 KB spaces");
    for (const char* vocabulary : kCountedVocabularies) {
        CountFigures count;
        if (!MeasureInChild([vocabulary](void* f) { return MeasureCount(vocabulary, static_cast<CountFigures*>(f)); },
                            &count, sizeof count)) {
            fprintf(stderr, "hostile bench: the count's measurement failed for %s\n", vocabulary);
            return 1;
        }
        printf("%-12s %8d %8s %10.1f %10.2f %12.2f %14.2f %14.2f %14.2f\n", vocabulary, count.n_tokens,
               count.counted ? "yes" : "no", count.build_ms, count.held_mib, count.build_peak_mib, count.long_prompt_ms,
               count.base64_ms, count.spaces_ms);
    }
    return 0;
}
