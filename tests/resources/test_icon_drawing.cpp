// The drawer's pieces on their own: turning cairo's premultiplied pixels into
// straight alpha, and what the icon encoder refuses.
#include <gtest/gtest.h>

#include "badge_drawing.h"
#include "ico_file.h"

namespace {

struct PixelCase {
  const char* what;
  uint32_t premultiplied_argb;
  unsigned char b, g, r, a;
};

TEST(StraightAlphaPixels, UndoesThePremultiplication) {
  const PixelCase cases[] = {
      {"opaque keeps its colour", 0xFF2563EB, 0xEB, 0x63, 0x25, 0xFF},
      {"half covered red at full strength", 0x80800000, 0x00, 0x00, 0xFF, 0x80},
      {"half covered mixed", 0x80402010, 0x20, 0x40, 0x80, 0x80},
      {"faintest white", 0x01010101, 0xFF, 0xFF, 0xFF, 0x01},
      {"transparent is black", 0x00000000, 0, 0, 0, 0},
      // Hostile: values a premultiplied store cannot hold must not wrap around.
      {"colour under zero alpha", 0x00123456, 0, 0, 0, 0},
      {"colour above its alpha", 0x0AC8C8C8, 0xFF, 0xFF, 0xFF, 0x0A},
  };
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::size(cases), 1);
  ASSERT_EQ(cairo_surface_status(surface), CAIRO_STATUS_SUCCESS);
  cairo_surface_flush(surface);
  uint32_t* row = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(surface));
  for (size_t i = 0; i < std::size(cases); ++i) row[i] = cases[i].premultiplied_argb;
  cairo_surface_mark_dirty(surface);

  const std::vector<unsigned char> pixels = StraightAlphaPixels(surface);
  cairo_surface_destroy(surface);
  ASSERT_EQ(pixels.size(), std::size(cases) * 4);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const PixelCase& c = cases[i];
    const unsigned char* pixel = &pixels[i * 4];
    EXPECT_EQ((std::vector<int>{pixel[0], pixel[1], pixel[2], pixel[3]}), (std::vector<int>{c.b, c.g, c.r, c.a}))
        << c.what;
  }
}

TEST(StraightAlphaPixels, RefusesWhatIsNotAnArgbImage) {
  EXPECT_TRUE(StraightAlphaPixels(nullptr).empty());
  for (cairo_format_t format : {CAIRO_FORMAT_RGB24, CAIRO_FORMAT_A8}) {
    cairo_surface_t* surface = cairo_image_surface_create(format, 4, 4);
    EXPECT_TRUE(StraightAlphaPixels(surface).empty()) << "format " << format;
    cairo_surface_destroy(surface);
  }
}

IconImage PatternImage(int size) {
  IconImage image;
  image.size = size;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      image.bgra.insert(image.bgra.end(), {static_cast<unsigned char>(x), static_cast<unsigned char>(y), 0x5A,
                                           static_cast<unsigned char>(x + y)});
    }
  }
  return image;
}

TEST(EncodeIco, RefusesImagesItCannotStore) {
  IconImage short_pixels = PatternImage(16);
  short_pixels.bgra.pop_back();
  IconImage long_pixels = PatternImage(16);
  long_pixels.bgra.push_back(0);
  IconImage zero;
  IconImage too_big;
  too_big.size = 257;
  too_big.bgra.assign(257 * 257 * 4, 0);
  IconImage negative;
  negative.size = -16;
  const struct {
    const char* what;
    std::vector<IconImage> images;
  } cases[] = {
      {"no images", {}},
      {"pixels one byte short", {PatternImage(16), short_pixels}},
      {"pixels one byte over", {long_pixels}},
      {"zero size", {zero}},
      {"larger than 256", {too_big}},
      {"negative size", {negative}},
      {"more images than an entry count byte allows", std::vector<IconImage>(256, PatternImage(1))},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> file = {1, 2, 3};
    EXPECT_FALSE(EncodeIco(c.images, &file)) << c.what;
    EXPECT_TRUE(file.empty()) << c.what;
  }
}

}  // namespace
