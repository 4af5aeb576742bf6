// The compiled Windows resources as windres writes them: exactly the icon
// group, its seven images, the manifest and the version block, all integer
// ids in language 1033.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "windows_resource_reading.h"

namespace {

const uint32_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;
const uint32_t kEnglishUnitedStates = 1033;

// The seven images of the program's icon, smallest first: the size, the
// width and height byte of its entry (0 stands for 256) and its stored bytes.
struct IconRow {
  int size;
  int width_byte;
  uint32_t byte_count;
};
const IconRow kIconRows[] = {{16, 16, 1128},  {24, 24, 2440},    {32, 32, 4264},    {48, 48, 9640},
                             {64, 64, 16936}, {128, 128, 67624}, {256, 0, 270376}};

const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
    "    <security>\r\n"
    "      <requestedPrivileges>\r\n"
    "        <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\" />\r\n"
    "      </requestedPrivileges>\r\n"
    "    </security>\r\n"
    "  </trustInfo>\r\n"
    "</assembly>\r\n";

std::vector<CompiledResource> ResResources() {
  std::vector<CompiledResource> resources;
  EXPECT_TRUE(ReadResFile(ReadWholeFile(VELKIN_RESOURCE_RES), &resources)) << VELKIN_RESOURCE_RES;
  return resources;
}

const CompiledResource* Find(const std::vector<CompiledResource>& resources, uint32_t type, uint32_t id) {
  for (const CompiledResource& resource : resources) {
    if (resource.type == type && resource.id == id) return &resource;
  }
  return nullptr;
}

const VersionNode* Child(const VersionNode& node, const std::u16string& key) {
  for (const VersionNode& child : node.children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

TEST(WindowsResources, CarryOnlyTheIconGroupItsImagesTheManifestAndTheVersionBlock) {
  const std::vector<CompiledResource> resources = ResResources();
  std::multiset<std::pair<uint32_t, uint32_t>> found;
  for (const CompiledResource& resource : resources) {
    EXPECT_FALSE(resource.named) << "type " << resource.type;
    EXPECT_EQ(resource.language, kEnglishUnitedStates) << "type " << resource.type << " id " << resource.id;
    found.insert({resource.type, resource.id});
  }
  const std::multiset<std::pair<uint32_t, uint32_t>> expected = {
      {kTypeIcon, 1},      {kTypeIcon, 2},    {kTypeIcon, 3},        {kTypeIcon, 4},     {kTypeIcon, 5},
      {kTypeIcon, 6},      {kTypeIcon, 7},    {kTypeGroupIcon, 1},   {kTypeVersion, 1},  {kTypeManifest, 1}};
  EXPECT_EQ(found, expected);
}

TEST(WindowsResources, IconGroupListsTheSevenDrawnImagesSmallestFirst) {
  const std::vector<CompiledResource> resources = ResResources();
  const CompiledResource* group = Find(resources, kTypeGroupIcon, 1);
  ASSERT_NE(group, nullptr);
  const Bytes& data = group->data;
  ASSERT_EQ(data.size(), 6u + 14u * 7u);
  EXPECT_EQ(U16At(data, 0), 0u);
  EXPECT_EQ(U16At(data, 2), 1u);  // icons, not cursors
  EXPECT_EQ(U16At(data, 4), 7u);

  // The compiled images are the drawer's images, byte for byte.
  std::vector<IcoEntry> drawn;
  ASSERT_TRUE(ReadIcoEntries(ReadWholeFile(VELKIN_ICON_FILE), &drawn));
  ASSERT_EQ(drawn.size(), 7u);

  for (size_t i = 0; i < 7; ++i) {
    const IconRow& row = kIconRows[i];
    SCOPED_TRACE("icon " + std::to_string(i + 1) + ", " + std::to_string(row.size) + " px");
    const size_t at = 6 + 14 * i;
    EXPECT_EQ(data[at], row.width_byte);
    EXPECT_EQ(data[at + 1], row.width_byte);
    EXPECT_EQ(data[at + 2], 0);  // colour count
    EXPECT_EQ(data[at + 3], 0);  // reserved
    EXPECT_EQ(U16At(data, at + 4), 1u);   // planes
    EXPECT_EQ(U16At(data, at + 6), 32u);  // bits
    EXPECT_EQ(U32At(data, at + 8), row.byte_count);
    EXPECT_EQ(U16At(data, at + 12), i + 1);

    const CompiledResource* icon = Find(resources, kTypeIcon, static_cast<uint32_t>(i + 1));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->data.size(), row.byte_count);
    StoredImage image;
    ASSERT_TRUE(DecodeStoredImage(icon->data, &image));
    EXPECT_EQ(image.size, row.size);
    EXPECT_TRUE(image.mask_all_zero);
    EXPECT_TRUE(icon->data == drawn[i].image);
  }
}

TEST(WindowsResources, ManifestRunsAsTheInvokerAndSaysNothingElse) {
  const std::vector<CompiledResource> resources = ResResources();
  const CompiledResource* manifest = Find(resources, kTypeManifest, 1);
  ASSERT_NE(manifest, nullptr);
  const std::string text(manifest->data.begin(), manifest->data.end());
  EXPECT_EQ(text.size(), 381u);
  EXPECT_EQ(text, kManifest);
}

TEST(WindowsResources, VersionBlockReadsOneZeroZeroZeroAndTheProductStrings) {
  const std::vector<CompiledResource> resources = ResResources();
  const CompiledResource* version = Find(resources, kTypeVersion, 1);
  ASSERT_NE(version, nullptr);
  VersionNode root;
  ASSERT_TRUE(ReadVersionNode(version->data, 0, &root));
  std::printf("version block: %u bytes\n", root.length);
  EXPECT_EQ(root.key, u"VS_VERSION_INFO");
  EXPECT_EQ(root.length, version->data.size());

  // Fixed part: thirteen double words.
  ASSERT_EQ(root.value.size(), 52u);
  const uint32_t expected_fixed[13] = {0xFEEF04BD, 0x00010000, 0x00010000, 0, 0x00010000, 0, 0x3F, 0,
                                       0x00040004, 1,          0,          0, 0};
  for (size_t i = 0; i < 13; ++i) EXPECT_EQ(U32At(root.value, 4 * i), expected_fixed[i]) << "double word " << i;

  ASSERT_EQ(root.children.size(), 2u);
  EXPECT_EQ(root.children[0].key, u"StringFileInfo");
  EXPECT_EQ(root.children[1].key, u"VarFileInfo");

  // One string table, its keys in this order, each value NUL-terminated text.
  ASSERT_EQ(root.children[0].children.size(), 1u);
  const VersionNode& table = root.children[0].children[0];
  EXPECT_EQ(table.key, u"040904b0");
  const std::pair<std::u16string, std::string> expected_strings[] = {
      {u"CompanyName", "Velkin"},
      {u"FileDescription", "Velkin - local AI chat"},
      {u"FileVersion", "1.0.0.0"},
      {u"InternalName", "Velkin"},
      {u"OriginalFilename", "Velkin.exe"},
      {u"ProductName", "Velkin"},
      {u"ProductVersion", "1.0.0.0"},
      {u"LegalCopyright", "Copyright (C) 2026 Velkin contributors"}};
  ASSERT_EQ(table.children.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    const VersionNode& entry = table.children[i];
    EXPECT_EQ(entry.key, expected_strings[i].first);
    EXPECT_EQ(entry.type, 1u);
    EXPECT_EQ(VersionText(entry), expected_strings[i].second);
    ASSERT_GE(entry.value.size(), 2u);
    EXPECT_EQ(U16At(entry.value, entry.value.size() - 2), 0u) << "value not NUL-terminated";
  }

  // The translation names the string table's language and code page.
  const VersionNode* translation = Child(root.children[1], u"Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u);
  EXPECT_EQ(U16At(translation->value, 0), 0x0409u);
  EXPECT_EQ(U16At(translation->value, 2), 1200u);
}

}  // namespace
