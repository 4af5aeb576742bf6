// What the engine benchmarks share: their models, a window that records a
// reply, the loader and the generation thread driven as the program drives
// them, and child processes that keep each measurement's memory its own.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine.h"
#include "recording_window.h"

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point from, Clock::time_point to);
double MedianOf(std::vector<double> values);

// Writes into `folder` what is missing of the benchmark models: model.gguf (32k
// vocabulary, 768 wide, 12 layers, F16) and context-32k/model.gguf (the same
// vocabulary and a 32k context, thin). False, with the reason printed, on failure.
bool EnsureBenchModels(const std::filesystem::path& folder);

// A chat prompt that tokenises to exactly `target` tokens with the benchmark vocabulary.
std::string PromptOfTokens(const llama_vocab* vocab, int32_t target);

// The reply as the window recorded it.
struct Window {
    HWND hwnd = nullptr;
    std::vector<Received> received;
    int pieces = 0;
    std::string reply;
    Clock::time_point first_piece;
    double ui_cpu_us = 0;  // spent by the loop on this thread while it waited for the reply
};

// Runs the loop until the worker's last message; false (with the error printed
// unless it was expected) when it failed.
bool PumpUntilDone(Window* window, bool error_expected = false);

// One reply through a generation thread (stopped when `stop_flag`, if given, is
// set); returns its start time, the window has the rest.
Clock::time_point EngineReply(Engine* engine, Window* window, const std::string& prompt, int32_t max_tokens,
                              bool error_expected = false, std::atomic<bool>* stop_flag = nullptr);

// Loads model.gguf from `folder` through the engine's loader on a thread of its own; null on failure.
EnginePtr LoadThroughLoader(const std::filesystem::path& folder, Window* window);

// Prompt tokens the context has decoded since StartCounting.
void StartCounting(Engine* engine);
int32_t PromptTokensDecoded(Engine* engine);

// Peak resident memory of this process so far.
long PeakResidentKb();

// Runs `measure(result)` in a child process, on the child's copy of the plain
// record `result` (`size` bytes), and copies the record back; true when the
// child measured and sent it.
bool MeasureInChild(const std::function<bool(void* result)>& measure, void* result, size_t size);
