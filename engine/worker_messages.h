// How the engine's worker threads talk to the UI thread: five window messages
// and the rule by which a text rides in one. Any thread may post.
#pragma once

#include "windows.h"

// Posted to the main window with wParam 0. A text travels in lParam as a heap
// array (new[]) holding NUL-terminated UTF-8; the window procedure delete[]s it.
constexpr UINT WM_APP_TOKEN = WM_APP + 0;      // one piece of reply text
constexpr UINT WM_APP_STATUS = WM_APP + 1;     // a status text
constexpr UINT WM_APP_LOAD_DONE = WM_APP + 2;  // lParam 0: the engine is ready
constexpr UINT WM_APP_GEN_DONE = WM_APP + 3;   // lParam 0: a reply ended or was stopped
constexpr UINT WM_APP_ERROR = WM_APP + 4;      // an error sentence

// Posts `message` with a heap copy of `text` up to its first NUL. Any thread.
// Nothing is posted when the copy cannot be allocated; when the window is gone
// the copy is freed here, as nobody else ever will.
void PostTextMessage(HWND hwnd, UINT message, const char* text);
