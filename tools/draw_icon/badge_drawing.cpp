// The badge drawing: geometry scaled from the page's 32-pixel app icon
// (corner radius 9, bold text 15 px, letter spacing -1).
#include "badge_drawing.h"

#include <pango/pangocairo.h>

namespace {

void FillRoundedSquare(cairo_t* cr, double size) {
  const double radius = size * 9.0 / 32.0;
  const double pi = 3.14159265358979323846;
  cairo_new_sub_path(cr);
  cairo_arc(cr, size - radius, radius, radius, -pi / 2, 0);
  cairo_arc(cr, size - radius, size - radius, radius, 0, pi / 2);
  cairo_arc(cr, radius, size - radius, radius, pi / 2, pi);
  cairo_arc(cr, radius, radius, radius, pi, 3 * pi / 2);
  cairo_close_path(cr);

  // Top left corner #2563eb, bottom right corner #7c3aed.
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, size, size);
  cairo_pattern_add_color_stop_rgb(gradient, 0, 0x25 / 255.0, 0x63 / 255.0, 0xeb / 255.0);
  cairo_pattern_add_color_stop_rgb(gradient, 1, 0x7c / 255.0, 0x3a / 255.0, 0xed / 255.0);
  cairo_set_source(cr, gradient);
  cairo_fill(cr);
  cairo_pattern_destroy(gradient);
}

void DrawInitials(cairo_t* cr, double size) {
  PangoLayout* layout = pango_cairo_create_layout(cr);

  // No hinting: the letters keep the same proportions at every size.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  pango_cairo_context_set_font_options(pango_layout_get_context(layout), options);
  cairo_font_options_destroy(options);
  pango_layout_context_changed(layout);

  PangoFontDescription* font = pango_font_description_from_string("Sans Bold");
  pango_font_description_set_absolute_size(font, size * 15.0 / 32.0 * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);

  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes,
                         pango_attr_letter_spacing_new(static_cast<int>(-size / 32.0 * PANGO_SCALE)));
  pango_layout_set_attributes(layout, attributes);
  pango_attr_list_unref(attributes);
  pango_layout_set_text(layout, "vkn", -1);

  // Centre the ink, not the line box: lower-case letters sit low in their line.
  PangoRectangle ink;
  pango_layout_get_extents(layout, &ink, nullptr);
  const double ink_x = static_cast<double>(ink.x) / PANGO_SCALE;
  const double ink_y = static_cast<double>(ink.y) / PANGO_SCALE;
  const double ink_width = static_cast<double>(ink.width) / PANGO_SCALE;
  const double ink_height = static_cast<double>(ink.height) / PANGO_SCALE;
  cairo_move_to(cr, (size - ink_width) / 2 - ink_x, (size - ink_height) / 2 - ink_y);
  cairo_set_source_rgb(cr, 1, 1, 1);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
}

}  // namespace

cairo_surface_t* DrawBadgeSurface(int size) {
  if (size < 1) return nullptr;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  cairo_t* cr = cairo_create(surface);
  FillRoundedSquare(cr, size);
  DrawInitials(cr, size);
  const bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  if (!drawn) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  return surface;
}

std::vector<unsigned char> StraightAlphaPixels(cairo_surface_t* surface) {
  std::vector<unsigned char> pixels;
  if (surface == nullptr || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE ||
      cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) {
    return pixels;
  }
  cairo_surface_flush(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  pixels.reserve(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    const uint32_t* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t argb = row[x];  // native-endian 0xAARRGGBB, colour premultiplied
      const unsigned alpha = argb >> 24;
      unsigned channel[3] = {argb & 0xff, (argb >> 8) & 0xff, (argb >> 16) & 0xff};  // b, g, r
      for (unsigned& value : channel) {
        value = alpha == 0 ? 0 : (value * 255 + alpha / 2) / alpha;
        if (value > 255) value = 255;
        pixels.push_back(static_cast<unsigned char>(value));
      }
      pixels.push_back(static_cast<unsigned char>(alpha));
    }
  }
  return pixels;
}
