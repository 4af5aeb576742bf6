// Internal: what an HWND points to, and the calls the layer's files share
// about windows and the UI-thread queue.
#pragma once

#include <gtk/gtk.h>


#include "windows.h"

struct PlatformWindow {
    WNDPROC procedure = nullptr;
    LONG_PTR user_data = 0;
    bool message_only = false;
    bool destroying = false;
    // Top-level windows only: the GTK window and its client area, which the
    // web view is placed in.
    GtkWidget* toplevel = nullptr;
    GtkWidget* client = nullptr;
    int client_width = 0;
    int client_height = 0;
    bool minimized = false;
    int scale = 1;
};

// Calls the window procedure directly (a "sent" message). UI thread.
LRESULT SendToWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Queue side of window life: registers a new window as alive; forgets it
// and drops its queued messages. Any thread.
void RegisterLiveWindow(HWND window);
void ForgetLiveWindow(HWND window);

// Runs the loop for a modal wait (a dialog): posted messages keep being
// dispatched, as on Windows. Returns false if the quit message arrived (it
// is kept for the outer loop). UI thread.
bool RunModalLoop(const bool* done);

// Initialises GTK once, on first need; false when no display can be opened.
// UI thread.
bool EnsureGtk();

// Top-level windows (toplevel.cpp): make the GTK window, tear it down.
bool CreateToplevel(HWND window, const CREATESTRUCTW& create, HICON icon, HICON small_icon);
void DestroyToplevel(HWND window);

// Icons (icons.cpp): the pixbuf behind an icon handle, or null.
GdkPixbuf* IconPixbuf(HICON icon);

// Window life listeners for the test hook: called after a top-level window
// is created and before it is destroyed. Null when the hook is not linked.
extern void (*g_toplevel_created_listener)(HWND window);
extern void (*g_toplevel_destroyed_listener)(HWND window);
