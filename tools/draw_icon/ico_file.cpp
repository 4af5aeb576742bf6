// Icon file layout: a 6-byte directory, a 16-byte entry per image, then each
// image as a bitmap header with height 2n (colour rows, then the AND mask),
// bottom row first. The mask is all zero: transparency comes from alpha.
#include "ico_file.h"

#include <cstdint>

namespace {

void PutU16(std::vector<unsigned char>* out, unsigned value) {
  out->push_back(static_cast<unsigned char>(value & 0xff));
  out->push_back(static_cast<unsigned char>((value >> 8) & 0xff));
}

void PutU32(std::vector<unsigned char>* out, uint32_t value) {
  PutU16(out, value & 0xffff);
  PutU16(out, value >> 16);
}

size_t MaskRowBytes(int size) { return (static_cast<size_t>(size) + 31) / 32 * 4; }

void PutImage(std::vector<unsigned char>* out, const IconImage& image) {
  const int n = image.size;
  PutU32(out, 40);                        // header size
  PutU32(out, static_cast<uint32_t>(n));  // width
  PutU32(out, static_cast<uint32_t>(2 * n));  // height: colour rows plus mask rows
  PutU16(out, 1);                         // planes
  PutU16(out, 32);                        // bits per pixel
  for (int field = 0; field < 6; ++field) PutU32(out, 0);  // no compression, sizes and palette unset

  const size_t row_bytes = static_cast<size_t>(n) * 4;
  for (int y = n - 1; y >= 0; --y) {
    const unsigned char* row = image.bgra.data() + static_cast<size_t>(y) * row_bytes;
    out->insert(out->end(), row, row + row_bytes);
  }
  out->insert(out->end(), MaskRowBytes(n) * n, 0);
}

}  // namespace

size_t IcoImageByteCount(int size) {
  return 40 + static_cast<size_t>(size) * size * 4 + MaskRowBytes(size) * size;
}

bool EncodeIco(const std::vector<IconImage>& images, std::vector<unsigned char>* out) {
  out->clear();
  if (images.empty() || images.size() > 255) return false;
  for (const IconImage& image : images) {
    if (image.size < 1 || image.size > 256) return false;
    if (image.bgra.size() != static_cast<size_t>(image.size) * image.size * 4) return false;
  }

  // Directory and entries.
  PutU16(out, 0);  // reserved
  PutU16(out, 1);  // type: icon
  PutU16(out, static_cast<unsigned>(images.size()));
  size_t offset = 6 + 16 * images.size();
  for (const IconImage& image : images) {
    const unsigned char side = static_cast<unsigned char>(image.size == 256 ? 0 : image.size);  // 0 stands for 256
    out->push_back(side);
    out->push_back(side);
    out->push_back(0);  // colour count: not a palette image
    out->push_back(0);  // reserved
    PutU16(out, 1);     // planes
    PutU16(out, 32);    // bits per pixel
    PutU32(out, static_cast<uint32_t>(IcoImageByteCount(image.size)));
    PutU32(out, static_cast<uint32_t>(offset));
    offset += IcoImageByteCount(image.size);
  }

  // Images, in entry order.
  for (const IconImage& image : images) PutImage(out, image);
  return true;
}
