// Helpers shared by the engine tests: temporary folders, tiny models, a
// message-only window that records what the workers post, and loaded engines.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine.h"
#include "recording_window.h"
#include "tiny_model.h"

// A fresh folder of its own, removed with everything in it at the end.
struct TempFolder {
    std::filesystem::path path;
    TempFolder();
    ~TempFolder();
    std::basic_string<WCHAR> Wide() const;  // with a trailing separator, as the loader wants it
    std::string File(const std::string& name) const { return (path / name).string(); }
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

// A message-only window that keeps what it receives, freeing each text copy.
struct MessageLog {
    HWND hwnd = nullptr;
    std::vector<Received> received;
    MessageLog();
    ~MessageLog();
    // Runs the message loop until `done` says so.
    template <typename Done>
    void PumpUntil(Done done) {
        while (!done(received)) PumpOne();
    }
    // After the workers have finished: receives everything they posted.
    void Drain();
    void PumpOne();
};

// Runs `routine(parameter)` on a thread of its own (a stack of `stack_bytes`, 0:
// the default) and waits for it to return; one that runs past the event limit
// fails the test and ends its process.
void RunOnThread(LPTHREAD_START_ROUTINE routine, void* parameter, SIZE_T stack_bytes = 0);

// A tiny model written into `folder` as model.gguf.
void PlaceModel(const TempFolder& folder, const TinyModel& model);

// An engine loaded from a tiny model through the loader; fails the test when loading fails.
EnginePtr LoadEngine(const TinyModel& model);

// `prompt` as the engine tokenises it, and the token count.
std::vector<llama_token> Tokens(const Engine& engine, const std::string& prompt);
int32_t CountTokens(const Engine& engine, const std::string& prompt);

// One reply of `engine` to `prompt` on a generation thread started as the
// program starts it; returns what the window received.
std::vector<Received> Reply(Engine* engine, const std::string& prompt, int32_t max_tokens = -1,
                            std::atomic<bool>* stop_flag = nullptr);

// The greeting prompt: one user turn "Hello!".
std::string GreetingPrompt();
