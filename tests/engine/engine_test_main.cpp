// Test entry. Besides running the tests, the program can act as the "program"
// whose folder holds model.gguf: tests copy it into a folder of their own and
// run the copy with one of the child modes below.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "engine_test_support.h"
#include "executable_child.h"

namespace {

std::string Utf8(const std::basic_string<WCHAR>& wide) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
    return text;
}

// Runs the real loader thread on this program's folder and prints each message on
// a line; then, when asked, hands the library a sequence it asserts on.
int LoadBesideExecutable(bool trip_an_assertion = false) {
    Engine* engine = new Engine;
    MessageLog log;
    RunOnThread(ModelLoadThread, new LoadRequest{log.hwnd, engine});
    log.Drain();
    for (const Received& entry : log.received) {
        const char* name = entry.message == WM_APP_STATUS      ? "STATUS"
                           : entry.message == WM_APP_LOAD_DONE ? "LOAD_DONE"
                           : entry.message == WM_APP_ERROR     ? "ERROR"
                                                               : "OTHER";
        printf("%s%s%s\n", name, entry.has_text ? " " : "", entry.text.c_str());
    }
    fflush(stdout);
    if (trip_an_assertion && engine->ready) llama_memory_seq_rm(llama_get_memory(engine->ctx), 5000, 0, -1);
    printf("n_ctx %d\n", engine->n_ctx);
    ShutdownEngine(engine);
    return 0;
}

// Caps the address space `extra_bytes` above what the process uses now.
void LimitMemory(long long extra_bytes) {
    mallopt(M_ARENA_MAX, 1);  // per-thread arenas would reserve address space of their own
    long long used = 0;
    if (FILE* status = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, status)) {
            if (sscanf(line, "VmSize: %lld kB", &used) == 1) break;
        }
        fclose(status);
    }
    const rlimit limit{static_cast<rlim_t>(used * 1024 + extra_bytes), RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], kChildPrintFolder) == 0) {
        printf("%s\n", Utf8(ExecutableFolder()).c_str());
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], kChildLoad) == 0) {
        if (argc >= 3) LimitMemory(atoll(argv[2]));
        return LoadBesideExecutable();
    }
    if (argc >= 2 && strcmp(argv[1], kChildAssert) == 0) return LoadBesideExecutable(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
