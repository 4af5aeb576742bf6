// velkin_draw_icon: draws the badge at the seven icon sizes and writes the
// icon file, optionally a C++ source embedding it and one PNG a size.
//   velkin_draw_icon --ico FILE [--source FILE] [--png-dir DIR]
// The source defines kVelkinIconFile and kVelkinIconFileSize.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "badge_drawing.h"
#include "byte_array_source.h"
#include "ico_file.h"

namespace {

const int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};  // smallest first, as the icon group lists them

struct Options {
  std::string ico_path;
  std::string source_path;
  std::string png_dir;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--ico") == 0 && has_value) {
      options->ico_path = argv[++i];
    } else if (std::strcmp(argv[i], "--source") == 0 && has_value) {
      options->source_path = argv[++i];
    } else if (std::strcmp(argv[i], "--png-dir") == 0 && has_value) {
      options->png_dir = argv[++i];
    } else {
      std::fprintf(stderr, "velkin_draw_icon: unexpected argument '%s'\n", argv[i]);
      return false;
    }
  }
  if (options->ico_path.empty()) {
    std::fprintf(stderr, "usage: velkin_draw_icon --ico FILE [--source FILE] [--png-dir DIR]\n");
    return false;
  }
  return true;
}

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;

  // Draw every size; keep the straight-alpha pixels, write the PNGs as we go.
  std::vector<IconImage> images;
  for (int size : kIconSizes) {
    cairo_surface_t* surface = DrawBadgeSurface(size);
    if (surface == nullptr) {
      std::fprintf(stderr, "velkin_draw_icon: cannot draw the %d px badge\n", size);
      return 1;
    }
    IconImage image;
    image.size = size;
    image.bgra = StraightAlphaPixels(surface);
    if (!options.png_dir.empty()) {
      const std::string png_path = options.png_dir + "/velkin-" + std::to_string(size) + ".png";
      if (cairo_surface_write_to_png(surface, png_path.c_str()) != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "velkin_draw_icon: cannot write %s\n", png_path.c_str());
        cairo_surface_destroy(surface);
        return 1;
      }
    }
    cairo_surface_destroy(surface);
    images.push_back(std::move(image));
  }

  // The icon file, then its embedding.
  std::vector<unsigned char> ico;
  if (!EncodeIco(images, &ico)) {
    std::fprintf(stderr, "velkin_draw_icon: cannot encode the icon file\n");
    return 1;
  }
  if (!WriteFile(options.ico_path, ico)) {
    std::fprintf(stderr, "velkin_draw_icon: cannot write %s\n", options.ico_path.c_str());
    return 1;
  }
  if (!options.source_path.empty() && !WriteByteArraySource(options.source_path, "kVelkinIconFile", ico)) {
    std::fprintf(stderr, "velkin_draw_icon: cannot write %s\n", options.source_path.c_str());
    return 1;
  }
  return 0;
}
