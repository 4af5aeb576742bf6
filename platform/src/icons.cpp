// Icons, cursors, brushes and metrics as far as a window class needs them.
#include "icon_resources.h"
#include "window_record.h"

struct PlatformIcon {
    GdkPixbuf* pixbuf = nullptr;
};
struct PlatformCursor {
    int unused = 0;
};
struct PlatformBrush {
    int unused = 0;
};

// The program's icon table comes from resources/; without it, no icons.
__attribute__((weak)) bool FindIconResource(int, IconResourceData*) { return false; }

namespace {
PlatformIcon g_system_icon;  // no pixbuf: the desktop shows its default
PlatformCursor g_arrow_cursor;
PlatformBrush g_white_brush;
const int kLargeIcon = 32;
const int kSmallIcon = 16;
}  // namespace

GdkPixbuf* IconPixbuf(HICON icon) { return icon != nullptr ? icon->pixbuf : nullptr; }

HANDLE WINAPI LoadImageW(HINSTANCE, LPCWSTR, UINT, int, int, UINT) { return nullptr; }

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (instance == nullptr && name == IDI_APPLICATION) return &g_system_icon;
    return (HICON)LoadImageW(instance, name, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED);
}

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    return instance == nullptr && name == IDC_ARROW ? &g_arrow_cursor : nullptr;
}

HGDIOBJ WINAPI GetStockObject(int object) {
    return object == WHITE_BRUSH ? &g_white_brush : nullptr;
}

int WINAPI GetSystemMetrics(int index) {
    switch (index) {
    case SM_CXICON:
    case SM_CYICON:
        return kLargeIcon;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return kSmallIcon;
    default:
        return 0;
    }
}
