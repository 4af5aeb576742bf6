// A message-only window that records what the engine's workers post to it,
// and readers of the record. UI thread; shared by the engine tests and the
// engine benchmark.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "engine.h"

// Posted last by whoever drains the window, so everything before it has arrived.
constexpr UINT WM_APP_DRAIN_MARKER = WM_APP + 100;

// One message as the window received it; `text` is the carried UTF-8 text (empty for lParam 0).
struct Received {
    UINT message = 0;
    std::string text;
    bool has_text = false;
    std::chrono::steady_clock::time_point at;  // when the loop dispatched it
};

// Makes a message-only window that appends every worker message (and the
// drain marker) to `received`, freeing each text copy. Null when it cannot be
// made. `received` must outlive the window.
HWND MakeRecordingWindow(std::vector<Received>* received);

// The texts of every `message` in `received`, in order, and their count.
std::vector<std::string> TextsOf(const std::vector<Received>& received, UINT message);
int CountOf(const std::vector<Received>& received, UINT message);
// The message numbers alone, in order.
std::vector<UINT> MessagesOf(const std::vector<Received>& received);
// The reply's pieces joined, in order.
std::string JoinPieces(const std::vector<Received>& received);
