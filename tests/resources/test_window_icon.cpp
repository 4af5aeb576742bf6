// The window class's icons through the platform layer: with the resources
// linked in, LoadImageW finds icon group 1 at the large and the small size,
// as the window class asks for them, and nothing under another id.
#include <gtest/gtest.h>

#include "windows.h"

namespace {

TEST(WindowIcon, LoadImageFindsTheProgramIconAtBothClassSizes) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const HANDLE large = LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE);
  EXPECT_NE(large, nullptr) << "the layer's empty default icon table was linked instead";
  const HANDLE small = LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                  GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
  EXPECT_NE(small, nullptr);
  for (int id : {0, 2, 7, 32512}) {
    EXPECT_EQ(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE), nullptr) << id;
  }
}

}  // namespace
