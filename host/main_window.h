// The main window: its class, its window procedure and the program's entry.
// UI thread only.
#pragma once

#include "windows.h"

// The window procedure of "VelkinWnd". Reads the AppState from the window's
// user data, stored on WM_NCCREATE; messages before that go to DefWindowProcW.
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
