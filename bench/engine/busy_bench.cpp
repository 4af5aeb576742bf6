// Busy-desktop benchmark: the engine's prompt and generation speed on the
// benchmark model, on a quiet machine and beside 1, 3 and 6 busy loops (other
// programs keeping cores busy), with the OpenMP wait the program starts with
// and with the runtime's default wait it had before. Each measurement is a
// fresh process started from an environment without any OpenMP wait setting,
// as a desktop starts the program. Prints figures; judges nothing.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "openmp_wait.h"

extern char** environ;

namespace {

constexpr int kDefaultRounds = 3;
constexpr int32_t kPromptTokens = 500;
constexpr int32_t kGeneratedTokens = 256;
constexpr double kGenerationCapMs = 15000;  // the old wait beside busy loops crawls: stop it there
constexpr int kBusyLoopCounts[] = {0, 1, 3, 6};

struct Setting {
    const char* name;
    const char* mode;  // the measuring child's first argument
};
constexpr Setting kSettings[] = {
    {"runtime's default wait (before)", "--measure-default"},
    {"as shipped", "--measure-shipped"},
};

struct Speeds {
    double prompt_tokens_per_s = 0;
    double generated_tokens_per_s = 0;
    int generated = 0;
};

// One reply, stopped by a timer at the cap; the window records it.
void CappedReply(Engine* engine, Window* window, const std::string& prompt, int32_t max_tokens) {
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::thread timer([&stop, &finished] {
        const Clock::time_point start = Clock::now();
        while (!finished && Milliseconds(start, Clock::now()) < kGenerationCapMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop = true;
    });
    EngineReply(engine, window, prompt, max_tokens, false, &stop);
    finished = true;
    timer.join();
}

// The measuring child: loads the model through the loader and times a long
// prompt and a reply. Writes its figures as one line to standard output.
int Measure(const std::filesystem::path& folder) {
    Window window;
    window.hwnd = MakeRecordingWindow(&window.received);
    if (!window.hwnd) return 1;
    EnginePtr engine = LoadThroughLoader(folder, &window);
    if (!engine) return 1;
    Speeds speeds;
    const Clock::time_point start = EngineReply(engine.get(), &window, PromptOfTokens(engine->vocab, kPromptTokens), 1);
    speeds.prompt_tokens_per_s = kPromptTokens / (Milliseconds(start, window.first_piece) / 1000.0);

    ResetEngine(engine.get());
    ChatHistory greeting;
    AddUserMessage(greeting, "Hello!");
    CappedReply(engine.get(), &window, BuildPrompt(greeting), kGeneratedTokens);
    const Clock::time_point last = window.received.empty() ? window.first_piece : window.received.back().at;
    speeds.generated = window.pieces;
    speeds.generated_tokens_per_s =
        window.pieces > 1 ? (window.pieces - 1) / (Milliseconds(window.first_piece, last) / 1000.0) : 0;
    DestroyWindow(window.hwnd);
    printf("%.3f %.3f %d\n", speeds.prompt_tokens_per_s, speeds.generated_tokens_per_s, speeds.generated);
    return 0;
}

// This environment without any OpenMP wait setting: a desktop session's.
std::vector<std::string> PlainEnvironment() {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("OMP_WAIT_POLICY=", 0) == 0 || variable.rfind("GOMP_SPINCOUNT=", 0) == 0) continue;
        variables.push_back(variable);
    }
    return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Runs this program as a measuring child in `mode`; false when it failed.
bool MeasureInFreshProcess(const char* self, const Setting& setting, const std::string& folder, Speeds* speeds) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    std::vector<std::string> arguments = {self, setting.mode, folder};
    std::vector<std::string> environment = PlainEnvironment();
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(environment);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    if (spawned != 0) {
        close(pipe_ends[0]);
        return false;
    }
    std::string output;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(pipe_ends[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
    close(pipe_ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           sscanf(output.c_str(), "%lf %lf %d", &speeds->prompt_tokens_per_s, &speeds->generated_tokens_per_s,
                  &speeds->generated) == 3;
}

// Processes that keep one core each busy, as other programs on a desktop do.
std::vector<pid_t> StartBusyLoops(int count) {
    std::vector<pid_t> loops;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            volatile unsigned long spin = 0;
            for (;;) spin = spin + 1;
        }
        if (pid > 0) loops.push_back(pid);
    }
    return loops;
}

void StopBusyLoops(const std::vector<pid_t>& loops) {
    for (pid_t pid : loops) kill(pid, SIGKILL);
    for (pid_t pid : loops) waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--measure-shipped") == 0) {
        RestartWithProgramOpenMpWait(argv);  // as the program's main() starts
        return Measure(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "--measure-default") == 0) return Measure(argv[2]);
    const int rounds = argc == 3 ? atoi(argv[2]) : kDefaultRounds;
    if (argc < 2 || argc > 3 || rounds < 1) {
        fprintf(stderr, "usage: busy_bench FOLDER [ROUNDS]  (FOLDER/model.gguf is written when missing)\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (!EnsureBenchModels(folder)) return 1;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    self[length] = '\0';

    printf("busy desktop: %u hardware threads, %d decoding threads, program's spin count %llu; medians of %d rounds\n",
           std::thread::hardware_concurrency(), ResolveThreadCount(-1, std::thread::hardware_concurrency()),
           ProgramOpenMpSpinCount(), rounds);
    printf("%-12s %-34s %14s %14s %18s\n", "busy loops", "OpenMP wait", "prompt tok/s", "gen tok/s",
           "gen, of quiet");
    constexpr int kSettingCount = sizeof kSettings / sizeof kSettings[0];
    double quiet_generation[kSettingCount] = {};
    for (int busy : kBusyLoopCounts) {
        const std::vector<pid_t> loops = StartBusyLoops(busy);
        std::vector<Speeds> per_setting[kSettingCount];
        // Rounds alternate between the settings, so slow spells of the machine hit both.
        for (int round = 0; round < rounds; ++round) {
            for (int setting = 0; setting < kSettingCount; ++setting) {
                Speeds speeds;
                if (!MeasureInFreshProcess(self, kSettings[setting], folder, &speeds)) {
                    StopBusyLoops(loops);
                    fprintf(stderr, "busy bench: a measurement failed\n");
                    return 1;
                }
                per_setting[setting].push_back(speeds);
            }
        }
        StopBusyLoops(loops);
        for (int setting = 0; setting < kSettingCount; ++setting) {
            std::vector<double> prompt, generation;
            for (const Speeds& speeds : per_setting[setting]) {
                prompt.push_back(speeds.prompt_tokens_per_s);
                generation.push_back(speeds.generated_tokens_per_s);
            }
            const double generated = MedianOf(generation);
            if (busy == 0) quiet_generation[setting] = generated;
            printf("%-12d %-34s %14.1f %14.1f %17.2fx\n", busy, kSettings[setting].name, MedianOf(prompt), generated,
                   quiet_generation[setting] > 0 ? generated / quiet_generation[setting] : 0.0);
        }
        fflush(stdout);
    }
    return 0;
}
