// The program's own icon table, as the resources folder links it in, gives
// the window class its large and small icons.
#include <gtest/gtest.h>

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
