// Top-level windows on GTK 3: the GTK window with a client area the web view
// is placed in, GTK events turned into WM_SIZE / WM_CLOSE / WM_DPICHANGED,
// and ShowWindow, UpdateWindow, GetClientRect, SetWindowPos. UI thread.
#include "text_conversion.h"
#include "window_record.h"

namespace {

const int kDefaultWidth = 800;   // for CW_USEDEFAULT sizes
const int kDefaultHeight = 600;
const int kBaseDpi = 96;         // the DPI of scale factor 1 on Windows

void SendSize(HWND window) {
    WPARAM kind = SIZE_RESTORED;
    GdkWindow* gdk_window = gtk_widget_get_window(window->toplevel);
    if (gdk_window != nullptr &&
        (gdk_window_get_state(gdk_window) & GDK_WINDOW_STATE_MAXIMIZED) != 0) {
        kind = SIZE_MAXIMIZED;
    }
    LPARAM size = (LPARAM)(((DWORD)window->client_height << 16) | ((DWORD)window->client_width & 0xffff));
    SendToWindow(window, WM_SIZE, kind, size);
}

void OnClientAllocated(GtkWidget*, GdkRectangle* allocation, gpointer data) {
    HWND window = (HWND)data;
    if (allocation->width == window->client_width && allocation->height == window->client_height) {
        return;
    }
    window->client_width = allocation->width;
    window->client_height = allocation->height;
    if (!window->minimized) SendSize(window);
}

gboolean OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
    HWND window = (HWND)data;
    if ((event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) != 0) {
        window->minimized = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
        if (window->minimized) {
            SendToWindow(window, WM_SIZE, SIZE_MINIMIZED, 0);
        } else {
            SendSize(window);
        }
    } else if ((event->changed_mask & GDK_WINDOW_STATE_MAXIMIZED) != 0 && !window->minimized) {
        SendSize(window);
    }
    return FALSE;
}

// The close button asks; the window stays until the program destroys it.
gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
    SendToWindow((HWND)data, WM_CLOSE, 0, 0);
    return TRUE;
}

void OnScaleChanged(GObject*, GParamSpec*, gpointer data) {
    HWND window = (HWND)data;
    int scale = gtk_widget_get_scale_factor(window->toplevel);
    if (scale == window->scale) return;
    window->scale = scale;
    // GTK sizes are logical pixels, so the suggested rectangle is the current one.
    RECT suggested;
    int x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(GTK_WINDOW(window->toplevel), &x, &y);
    gtk_window_get_size(GTK_WINDOW(window->toplevel), &width, &height);
    suggested.left = x;
    suggested.top = y;
    suggested.right = x + width;
    suggested.bottom = y + height;
    WPARAM dpi = (WPARAM)(kBaseDpi * scale);
    SendToWindow(window, WM_DPICHANGED, (dpi << 16) | dpi, (LPARAM)&suggested);
}

void SetIcons(GtkWindow* gtk_window, HICON icon, HICON small_icon) {
    GList* pixbufs = nullptr;
    GdkPixbuf* large = IconPixbuf(icon);
    GdkPixbuf* small = IconPixbuf(small_icon);
    if (large != nullptr) pixbufs = g_list_append(pixbufs, large);
    if (small != nullptr && small != large) pixbufs = g_list_append(pixbufs, small);
    if (pixbufs != nullptr) gtk_window_set_icon_list(gtk_window, pixbufs);
    g_list_free(pixbufs);
}

bool IsToplevel(HWND window) {
    return IsWindow(window) && !window->message_only && window->toplevel != nullptr;
}

}  // namespace

bool EnsureGtk() {
    static int state = 0;  // 0 not tried, 1 ready, -1 no display
    if (state == 0) {
        // Without argv GTK has no program name; desktops match windows to
        // their entry by it.
        if (g_get_prgname() == nullptr) {
            char* path = g_file_read_link("/proc/self/exe", nullptr);
            if (path != nullptr) {
                char* name = g_path_get_basename(path);
                g_set_prgname(name);
                g_free(name);
                g_free(path);
            }
        }
        state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
    }
    return state == 1;
}

bool CreateToplevel(HWND window, const CREATESTRUCTW& create, HICON icon, HICON small_icon) {
    if (!EnsureGtk()) return false;
    int width = create.cx == CW_USEDEFAULT ? kDefaultWidth : create.cx;
    int height = create.cy == CW_USEDEFAULT ? kDefaultHeight : create.cy;
    if (width <= 0) width = 1;
    if (height <= 0) height = 1;

    GtkWidget* toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    // The client area: a layout whose own size request is nothing, so the
    // view placed in it never stops the window from shrinking.
    GtkWidget* client = gtk_layout_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(toplevel), client);
    gtk_widget_show(client);
    gtk_window_set_title(GTK_WINDOW(toplevel), Utf16ToUtf8(create.lpszName).c_str());
    gtk_window_set_default_size(GTK_WINDOW(toplevel), width, height);
    if (create.x != CW_USEDEFAULT && create.y != CW_USEDEFAULT) {
        gtk_window_move(GTK_WINDOW(toplevel), create.x, create.y);
    }
    SetIcons(GTK_WINDOW(toplevel), icon, small_icon);

    window->toplevel = toplevel;
    window->client = client;
    window->client_width = width;
    window->client_height = height;
    window->scale = gtk_widget_get_scale_factor(toplevel);
    g_signal_connect(client, "size-allocate", G_CALLBACK(OnClientAllocated), window);
    g_signal_connect(toplevel, "window-state-event", G_CALLBACK(OnWindowState), window);
    g_signal_connect(toplevel, "delete-event", G_CALLBACK(OnDeleteEvent), window);
    g_signal_connect(toplevel, "notify::scale-factor", G_CALLBACK(OnScaleChanged), window);
    return true;
}

void DestroyToplevel(HWND window) {
    if (window->toplevel == nullptr) return;
    g_signal_handlers_disconnect_by_data(window->client, window);
    g_signal_handlers_disconnect_by_data(window->toplevel, window);
    gtk_widget_destroy(window->toplevel);
    window->toplevel = nullptr;
    window->client = nullptr;
}

BOOL WINAPI ShowWindow(HWND window, int show) {
    if (!IsWindow(window)) return FALSE;
    if (window->message_only) return FALSE;
    GtkWindow* gtk_window = GTK_WINDOW(window->toplevel);
    BOOL was_visible = gtk_widget_get_visible(window->toplevel) ? TRUE : FALSE;
    switch (show) {
    case SW_HIDE:
        gtk_widget_hide(window->toplevel);
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
        gtk_widget_show(window->toplevel);
        gtk_window_iconify(gtk_window);
        break;
    case SW_SHOWMAXIMIZED:
        gtk_widget_show(window->toplevel);
        gtk_window_maximize(gtk_window);
        break;
    case SW_RESTORE:
        gtk_window_deiconify(gtk_window);
        gtk_window_unmaximize(gtk_window);
        gtk_widget_show(window->toplevel);
        break;
    default:
        gtk_widget_show(window->toplevel);
        break;
    }
    // Sent now: the program may block next (WM_CLOSE hides, then waits for a worker).
    gdk_display_flush(gtk_widget_get_display(window->toplevel));
    return was_visible;
}

BOOL WINAPI UpdateWindow(HWND window) { return IsWindow(window); }

BOOL WINAPI GetClientRect(HWND window, LPRECT rect) {
    if (rect == nullptr || !IsWindow(window)) return FALSE;
    *rect = RECT();
    if (!window->message_only) {
        rect->right = window->client_width;
        rect->bottom = window->client_height;
    }
    return TRUE;
}

BOOL WINAPI SetWindowPos(HWND window, HWND, int x, int y, int width, int height, UINT flags) {
    if (!IsToplevel(window)) return FALSE;
    GtkWindow* gtk_window = GTK_WINDOW(window->toplevel);
    if ((flags & SWP_NOMOVE) == 0) gtk_window_move(gtk_window, x, y);
    if ((flags & SWP_NOSIZE) == 0 && width > 0 && height > 0) {
        gtk_window_resize(gtk_window, width, height);
    }
    return TRUE;
}

