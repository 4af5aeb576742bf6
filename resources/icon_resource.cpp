// The program's icon for the platform layer: icon group 1 is the generated
// icon file, embedded whole. Any thread; the bytes are constant.
#include "icon_resources.h"

extern const unsigned char kVelkinIconFile[];
extern const size_t kVelkinIconFileSize;

namespace {

const int kAppIconId = 1;  // the window class loads its icons from icon group 1

}  // namespace

bool FindIconResource(int id, IconResourceData* out) {
  if (id != kAppIconId || out == nullptr) return false;
  out->bytes = kVelkinIconFile;
  out->size = kVelkinIconFileSize;
  return true;
}
