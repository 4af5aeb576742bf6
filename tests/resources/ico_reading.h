// Test-side reader of icon files and stored icon images, written from the
// file layout, independent of the drawer's writer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

inline Bytes ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline uint32_t U16At(const Bytes& bytes, size_t at) {
  return at + 2 <= bytes.size() ? bytes[at] | bytes[at + 1] << 8 : 0xFFFFFFFFu;
}

inline uint32_t U32At(const Bytes& bytes, size_t at) {
  return at + 4 <= bytes.size() ? U16At(bytes, at) | U16At(bytes, at + 2) << 16 : 0xFFFFFFFFu;
}

// One directory entry of an icon file, with the image bytes it points to.
struct IcoEntry {
  int width_byte = 0;
  int height_byte = 0;
  int colour_count = 0;
  int reserved = 0;
  int planes = 0;
  int bit_count = 0;
  uint32_t byte_count = 0;
  Bytes image;
};

// The entries of an icon file; false if the directory or an image range is
// outside the file.
inline bool ReadIcoEntries(const Bytes& file, std::vector<IcoEntry>* entries) {
  if (file.size() < 6 || U16At(file, 0) != 0 || U16At(file, 2) != 1) return false;
  const size_t count = U16At(file, 4);
  if (file.size() < 6 + 16 * count) return false;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = 6 + 16 * i;
    IcoEntry entry;
    entry.width_byte = file[at];
    entry.height_byte = file[at + 1];
    entry.colour_count = file[at + 2];
    entry.reserved = file[at + 3];
    entry.planes = static_cast<int>(U16At(file, at + 4));
    entry.bit_count = static_cast<int>(U16At(file, at + 6));
    entry.byte_count = U32At(file, at + 8);
    const size_t offset = U32At(file, at + 12);
    if (offset > file.size() || entry.byte_count > file.size() - offset) return false;
    entry.image.assign(file.begin() + offset, file.begin() + offset + entry.byte_count);
    entries->push_back(entry);
  }
  return true;
}

// A stored 32-bit image decoded to top-down rows of b, g, r, a.
struct StoredImage {
  int size = 0;
  Bytes bgra;
  bool mask_all_zero = false;

  const unsigned char* Pixel(int x, int y) const { return &bgra[(static_cast<size_t>(y) * size + x) * 4]; }
};

// Decodes an image in the stored icon form (40-byte header, height 2n,
// 32 bits, bottom-up, then the AND mask). False if the header is not that
// form or the bytes do not match its size exactly.
inline bool DecodeStoredImage(const Bytes& image, StoredImage* out) {
  if (image.size() < 40 || U32At(image, 0) != 40) return false;
  const uint32_t n = U32At(image, 4);
  if (n < 1 || n > 256 || U32At(image, 8) != 2 * n || U16At(image, 12) != 1 || U16At(image, 14) != 32 ||
      U32At(image, 16) != 0 || U32At(image, 20) != 0) {
    return false;
  }
  const size_t mask_row = (n + 31) / 32 * 4;
  if (image.size() != 40 + 4 * n * n + mask_row * n) return false;
  out->size = static_cast<int>(n);
  out->bgra.resize(4 * n * n);
  for (uint32_t row = 0; row < n; ++row) {  // stored bottom row first
    const unsigned char* from = image.data() + 40 + static_cast<size_t>(n - 1 - row) * n * 4;
    std::copy(from, from + n * 4, out->bgra.begin() + static_cast<size_t>(row) * n * 4);
  }
  out->mask_all_zero = true;
  for (size_t i = 40 + 4 * n * n; i < image.size(); ++i) out->mask_all_zero &= image[i] == 0;
  return true;
}
