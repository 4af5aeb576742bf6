// Encodes square 32-bit images as one Windows icon file (.ico) in the form
// the system's resource compiler stores: uncompressed bitmaps, never PNG.
#pragma once

#include <cstddef>
#include <vector>

struct IconImage {
  int size = 0;                      // width and height in pixels, 1 to 256
  std::vector<unsigned char> bgra;   // size*size pixels, top row first, alpha not premultiplied
};

// Bytes of one stored image: 40-byte header, the pixels, then the AND mask
// (one bit a pixel, each row padded to 4 bytes).
size_t IcoImageByteCount(int size);

// Writes the icon file for `images` (in the given order) into *out.
// Returns false, leaving *out empty, when there are no images or more than
// 255, or an image's size is outside 1..256 or its pixel count is wrong.
bool EncodeIco(const std::vector<IconImage>& images, std::vector<unsigned char>* out);
