// The drawn icon file: seven stored images, each the whole badge - rounded
// transparent corners, the blue-to-violet diagonal with straight (not
// premultiplied) alpha, and white initials at the centre.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ico_reading.h"

namespace {

struct Colour {
  double b, g, r;
};
const Colour kTopLeft = {0xeb, 0x63, 0x25};      // #2563eb
const Colour kBottomRight = {0xed, 0x3a, 0x7c};  // #7c3aed

// The gradient's colour at the centre of pixel (x, y): it runs along the
// diagonal, so it depends on x + y only.
Colour GradientAt(int size, int x, int y) {
  const double t = (x + 0.5 + y + 0.5) / (2.0 * size);
  return {kTopLeft.b + (kBottomRight.b - kTopLeft.b) * t, kTopLeft.g + (kBottomRight.g - kTopLeft.g) * t,
          kTopLeft.r + (kBottomRight.r - kTopLeft.r) * t};
}

double ColourDistance(const unsigned char* pixel, const Colour& colour) {
  return std::fmax(std::fabs(pixel[0] - colour.b), std::fmax(std::fabs(pixel[1] - colour.g), std::fabs(pixel[2] - colour.r)));
}

std::vector<StoredImage> DrawnImages() {
  std::vector<IcoEntry> entries;
  EXPECT_TRUE(ReadIcoEntries(ReadWholeFile(VELKIN_ICON_FILE), &entries)) << VELKIN_ICON_FILE;
  std::vector<StoredImage> images;
  for (const IcoEntry& entry : entries) {
    StoredImage image;
    EXPECT_TRUE(DecodeStoredImage(entry.image, &image));
    images.push_back(image);
  }
  EXPECT_EQ(images.size(), 7u);
  return images;
}

// The desktop's own icon reader takes the file as it is and sees the largest
// image with the same straight-alpha pixels.
TEST(IconFile, DesktopIconReaderSeesTheLargestImageUnchanged) {
  const Bytes file = ReadWholeFile(VELKIN_ICON_FILE);
  GError* error = nullptr;
  std::unique_ptr<GdkPixbufLoader, decltype(&g_object_unref)> owned_loader(
      gdk_pixbuf_loader_new_with_type("ico", &error), &g_object_unref);
  GdkPixbufLoader* loader = owned_loader.get();
  ASSERT_NE(loader, nullptr) << (error != nullptr ? error->message : "");
  const bool read = gdk_pixbuf_loader_write(loader, file.data(), file.size(), &error) &&
                    gdk_pixbuf_loader_close(loader, &error);
  ASSERT_TRUE(read) << (error != nullptr ? error->message : "");
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  ASSERT_NE(pixbuf, nullptr);
  ASSERT_EQ(gdk_pixbuf_get_width(pixbuf), 256);
  ASSERT_EQ(gdk_pixbuf_get_height(pixbuf), 256);
  ASSERT_TRUE(gdk_pixbuf_get_has_alpha(pixbuf));

  const StoredImage largest = DrawnImages().back();
  const guchar* rows = gdk_pixbuf_read_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  int n_different = 0;
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      const guchar* rgba = rows + y * stride + x * 4;
      const unsigned char* bgra = largest.Pixel(x, y);
      n_different += rgba[0] != bgra[2] || rgba[1] != bgra[1] || rgba[2] != bgra[0] || rgba[3] != bgra[3];
    }
  }
  EXPECT_EQ(n_different, 0);
}

TEST(IconImages, CornersAreRoundedOffToTransparentBlack) {
  for (const StoredImage& image : DrawnImages()) {
    const int n = image.size;
    SCOPED_TRACE(std::to_string(n) + " px");
    for (auto [x, y] : {std::pair{0, 0}, {n - 1, 0}, {0, n - 1}, {n - 1, n - 1}}) {
      const unsigned char* corner = image.Pixel(x, y);
      EXPECT_EQ(corner[3], 0) << "corner " << x << "," << y;
    }
    // The square reaches every edge: the middle of each side is opaque.
    for (auto [x, y] : {std::pair{n / 2, 0}, {n / 2, n - 1}, {0, n / 2}, {n - 1, n / 2}}) {
      EXPECT_EQ(image.Pixel(x, y)[3], 255) << "edge " << x << "," << y;
    }
    // Whatever is fully transparent is black, so nothing shows through.
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n; ++x) {
        const unsigned char* pixel = image.Pixel(x, y);
        if (pixel[3] == 0) {
          ASSERT_EQ(pixel[0] | pixel[1] | pixel[2], 0) << x << "," << y;
        }
      }
    }
  }
}

// From each corner, along the diagonal, the first opaque pixel shows the
// gradient's colour there: blue top left, violet bottom right, the mix in
// the other two corners.
TEST(IconImages, GradientRunsDiagonallyFromBlueToViolet) {
  for (const StoredImage& image : DrawnImages()) {
    const int n = image.size;
    SCOPED_TRACE(std::to_string(n) + " px");
    const struct {
      int x0, y0, dx, dy;
    } walks[] = {{0, 0, 1, 1}, {n - 1, 0, -1, 1}, {0, n - 1, 1, -1}, {n - 1, n - 1, -1, -1}};
    for (const auto& walk : walks) {
      int step = 0;
      while (step < n / 2 && image.Pixel(walk.x0 + step * walk.dx, walk.y0 + step * walk.dy)[3] != 255) ++step;
      const int x = walk.x0 + step * walk.dx, y = walk.y0 + step * walk.dy;
      EXPECT_LT(step, n / 4) << "corner " << walk.x0 << "," << walk.y0 << " rounded too far";
      EXPECT_LE(ColourDistance(image.Pixel(x, y), GradientAt(n, x, y)), 4.0) << "at " << x << "," << y;
    }
    // The two ends differ enough that a swapped or missing gradient shows.
    EXPECT_GT(std::abs(image.Pixel(n / 2, 0)[2] - image.Pixel(n / 2, n - 1)[2]), 0x20);
  }
}

// Pixels the rounded edge covers in part keep the full gradient colour; a
// premultiplied store would darken them in proportion to their alpha.
TEST(IconImages, PartlyCoveredEdgePixelsKeepTheirFullColour) {
  for (const StoredImage& image : DrawnImages()) {
    const int n = image.size;
    SCOPED_TRACE(std::to_string(n) + " px");
    int n_checked = 0;
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n; ++x) {
        const unsigned char* pixel = image.Pixel(x, y);
        if (pixel[3] < 64 || pixel[3] == 255) continue;  // below 64 the 8-bit colour is too coarse
        ++n_checked;
        EXPECT_LE(ColourDistance(pixel, GradientAt(n, x, y)), 8.0) << x << "," << y << " alpha " << int(pixel[3]);
      }
    }
    EXPECT_GT(n_checked, 0) << "no anti-aliased edge at all";
  }
}

// The initials: a block of white, wider than tall, centred, inside the badge.
TEST(IconImages, WhiteInitialsSitAtTheCentre) {
  for (const StoredImage& image : DrawnImages()) {
    const int n = image.size;
    SCOPED_TRACE(std::to_string(n) + " px");
    int left = n, right = -1, top = n, bottom = -1, n_white = 0;
    double sum_x = 0, sum_y = 0;
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n; ++x) {
        const unsigned char* pixel = image.Pixel(x, y);
        if (pixel[3] != 255 || pixel[1] < 0xC0) continue;  // the background's green never passes 0x63
        ++n_white;
        sum_x += x + 0.5;
        sum_y += y + 0.5;
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
    ASSERT_GT(n_white, n * n / 20) << "the initials are missing or faint";
    const double width = right - left + 1, height = bottom - top + 1;
    EXPECT_GT(width, 0.45 * n);
    EXPECT_LT(width, 0.9 * n);
    EXPECT_GT(height, 0.15 * n);
    EXPECT_LT(height, width);
    EXPECT_NEAR(sum_x / n_white, n / 2.0, 0.08 * n);
    EXPECT_NEAR(sum_y / n_white, n / 2.0, 0.08 * n);
    EXPECT_NEAR((left + right + 1) / 2.0, n / 2.0, 0.08 * n + 1);
    EXPECT_NEAR((top + bottom + 1) / 2.0, n / 2.0, 0.08 * n + 1);
  }
}

}  // namespace
