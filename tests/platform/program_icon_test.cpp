// The program's own icon table, as the resources folder links it in, gives
// the window class its large and small icons, and those become the window's.
#include <gtest/gtest.h>

#include <vector>

#include "window_record.h"
#include "windows.h"

namespace {

TEST(ProgramIcon, IconOneLoadsAtTheLargeAndSmallSizes) {
    const int sizes[] = {GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CXSMICON), 48, 256};
    for (int size : sizes) {
        HICON icon = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size,
                                       LR_DEFAULTCOLOR);
        ASSERT_NE(icon, nullptr) << size;
        GdkPixbuf* pixbuf = IconPixbuf(icon);
        EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), size);
        // The middle of the drawing is not see-through.
        const guchar* middle = gdk_pixbuf_get_pixels(pixbuf) + (size / 2) * gdk_pixbuf_get_rowstride(pixbuf) +
                               (size / 2) * 4;
        EXPECT_GT(middle[3], 0) << size;
    }
}

}  // namespace

namespace {

TEST(ProgramIcon, TheWindowClassIconsBecomeTheWindowsIcons) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hIcon = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, 0, 0,
                                           LR_DEFAULTSIZE);
    window_class.hIconSm = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                             LR_DEFAULTCOLOR);
    window_class.lpszClassName = u"VelkinIconWindow";
    ASSERT_NE(RegisterClassExW(&window_class), 0);
    HWND window = CreateWindowExW(0, u"VelkinIconWindow", u"Velkin 1.0", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 860, 640, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    GList* icons = gtk_window_get_icon_list(GTK_WINDOW(window->toplevel));
    std::vector<int> widths;
    for (GList* item = icons; item != nullptr; item = item->next) widths.push_back(gdk_pixbuf_get_width(GDK_PIXBUF(item->data)));
    g_list_free(icons);
    EXPECT_EQ(widths, (std::vector<int>{32, 16}));
    DestroyWindow(window);
}

}  // namespace
