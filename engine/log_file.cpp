// velkin.log: the process-wide log file, the callback that writes every
// llama.cpp and ggml log text into it, the engine's own lines and the library's
// last words before an abort. All run on any thread.

#include "log_file.h"

#include "engine.h"

std::atomic<FILE*> log_file{nullptr};

void LlamaLogCallback(ggml_log_level level, const char* text, void* user_data) {
    (void)level;
    (void)user_data;
    FILE* file = log_file.load();
    if (!file || !text) return;
    fputs(text, file);  // as the library gives it; text mode turns each "\n" into "\r\n"
    fflush(file);
}

void LogLine(const std::string& line) {
    const std::string text = line + "\n";
    LlamaLogCallback(GGML_LOG_LEVEL_ERROR, text.c_str(), nullptr);
}

void LogAbortMessage(const char* message) {
    // No allocation: the process may be ending because memory ran out.
    const char* text = message ? message : "";
    LlamaLogCallback(GGML_LOG_LEVEL_ERROR, text, nullptr);
    LlamaLogCallback(GGML_LOG_LEVEL_ERROR, "\n", nullptr);
    fprintf(stderr, "%s\n", text);  // where the library would have written it
}
