// velkin.log: the process-wide log file and the callback that writes every
// llama.cpp and ggml log text into it. The callback runs on any thread.

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
