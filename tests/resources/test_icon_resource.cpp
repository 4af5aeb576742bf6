// The embedded icon the platform layer looks up: icon group 1 is the drawn
// icon file, byte for byte; no other id is found.
#include <gtest/gtest.h>

#include <climits>

#include "icon_resources.h"
#include "ico_reading.h"

namespace {

TEST(FindIconResource, GroupOneIsTheDrawnIconFile) {
  IconResourceData found = {nullptr, 0};
  ASSERT_TRUE(FindIconResource(1, &found));
  const Bytes drawn = ReadWholeFile(VELKIN_ICON_FILE);
  ASSERT_FALSE(drawn.empty());
  ASSERT_EQ(found.size, drawn.size());
  EXPECT_TRUE(Bytes(found.bytes, found.bytes + found.size) == drawn);
}

TEST(FindIconResource, OtherIdsAreNotFoundAndLeaveTheResultAlone) {
  const unsigned char marker = 0;
  for (int id : {0, 2, 7, 32512 /* the system's default application icon */, -1, INT_MIN, INT_MAX}) {
    IconResourceData found = {&marker, 42};
    EXPECT_FALSE(FindIconResource(id, &found)) << id;
    EXPECT_EQ(found.bytes, &marker) << id;
    EXPECT_EQ(found.size, 42u) << id;
  }
  EXPECT_FALSE(FindIconResource(1, nullptr));
}

}  // namespace
