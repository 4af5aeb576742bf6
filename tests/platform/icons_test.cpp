// LoadImageW on the program's icon table: the nearest image is chosen and
// decoded pixel for pixel; broken or hostile .ico data gives no icon. The
// table here is the test's own (it replaces the layer's empty default).
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "icon_resources.h"
#include "window_record.h"
#include "windows.h"

namespace {

std::map<int, std::vector<unsigned char>> g_table;

void Put(std::vector<unsigned char>* out, uint32_t value, int n) {
    for (int i = 0; i < n; i++) out->push_back((unsigned char)(value >> (8 * i)));
}

// A classic 32-bit image whose every pixel is (r, g, b, alpha); the top-left
// pixel is red instead, to show the bottom-up row order was undone.
std::vector<unsigned char> Bitmap(int size, unsigned char r, unsigned char g, unsigned char b,
                                  unsigned char alpha) {
    std::vector<unsigned char> image;
    Put(&image, 40, 4);
    Put(&image, size, 4);
    Put(&image, size * 2, 4);
    Put(&image, 1, 2);
    Put(&image, 32, 2);
    for (int i = 0; i < 6; i++) Put(&image, 0, 4);
    for (int row = 0; row < size; row++) {  // bottom row first
        for (int x = 0; x < size; x++) {
            bool top_left = row == size - 1 && x == 0;
            image.push_back(top_left ? 0 : b);
            image.push_back(top_left ? 0 : g);
            image.push_back(top_left ? 255 : r);
            image.push_back(alpha);
        }
    }
    int mask_stride = ((size + 31) / 32) * 4;
    for (int i = 0; i < mask_stride * size; i++) image.push_back(i == 0 ? 0x80 : 0x00);  // bottom-left masked
    return image;
}

std::vector<unsigned char> Ico(const std::vector<std::pair<int, std::vector<unsigned char>>>& images) {
    std::vector<unsigned char> file;
    Put(&file, 0, 2);
    Put(&file, 1, 2);
    Put(&file, (uint32_t)images.size(), 2);
    uint32_t offset = 6 + 16 * (uint32_t)images.size();
    for (const auto& image : images) {
        file.push_back((unsigned char)(image.first == 256 ? 0 : image.first));
        file.push_back((unsigned char)(image.first == 256 ? 0 : image.first));
        file.push_back(0);
        file.push_back(0);
        Put(&file, 1, 2);
        Put(&file, 32, 2);
        Put(&file, (uint32_t)image.second.size(), 4);
        Put(&file, offset, 4);
        offset += (uint32_t)image.second.size();
    }
    for (const auto& image : images) file.insert(file.end(), image.second.begin(), image.second.end());
    return file;
}

struct Pixel {
    int r, g, b, a;
    bool operator==(const Pixel& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

Pixel At(HICON icon, int x, int y) {
    GdkPixbuf* pixbuf = IconPixbuf(icon);
    const guchar* p = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) + x * 4;
    return Pixel{p[0], p[1], p[2], p[3]};
}

int Width(HICON icon) { return gdk_pixbuf_get_width(IconPixbuf(icon)); }

HICON Load(int id, int cx, int cy, UINT flags = LR_DEFAULTCOLOR) {
    return (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, cx, cy, flags);
}

TEST(Icons, TheNearestImageIsChosenAndDecodedExactly) {
    // 16 px green half-transparent, 32 px blue opaque, 48 px with no alpha (the mask decides).
    g_table[1] = Ico({{16, Bitmap(16, 0, 255, 0, 128)}, {32, Bitmap(32, 0, 0, 255, 255)},
                      {48, Bitmap(48, 10, 20, 30, 0)}});
    HICON small = Load(1, 16, 16);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(Width(small), 16);
    EXPECT_EQ(At(small, 1, 1), (Pixel{0, 255, 0, 128})) << "colours kept, not premultiplied";
    EXPECT_EQ(At(small, 0, 0), (Pixel{255, 0, 0, 128})) << "first stored row is the bottom one";

    HICON large = Load(1, 0, 0, LR_DEFAULTSIZE);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(Width(large), GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(At(large, 5, 5), (Pixel{0, 0, 255, 255}));

    HICON masked = Load(1, 48, 48);
    ASSERT_NE(masked, nullptr);
    EXPECT_EQ(At(masked, 5, 5), (Pixel{10, 20, 30, 255})) << "no alpha anywhere: opaque unless masked";
    EXPECT_EQ(At(masked, 0, 47).a, 0) << "the AND mask's bit makes the bottom-left pixel clear";

    HICON scaled = Load(1, 24, 24);  // nearest is 16 or 32: the larger one is shrunk
    ASSERT_NE(scaled, nullptr);
    EXPECT_EQ(Width(scaled), 24);
    EXPECT_EQ(At(scaled, 12, 12), (Pixel{0, 0, 255, 255}));

    EXPECT_EQ(Load(1, 16, 16), small) << "one shared handle per id and size";
}

TEST(Icons, BrokenOrHostileIconsGiveNoIcon) {
    std::vector<unsigned char> good = Ico({{16, Bitmap(16, 1, 2, 3, 255)}});
    std::vector<unsigned char> truncated(good.begin(), good.begin() + 40);
    std::vector<unsigned char> offset_outside = good;
    offset_outside[18] = 0xFF;  // image offset far past the end
    std::vector<unsigned char> huge_count = good;
    huge_count[4] = 0xFF;
    huge_count[5] = 0xFF;
    std::vector<unsigned char> huge_image = Ico({{16, Bitmap(16, 1, 2, 3, 255)}});
    huge_image[6 + 16 + 4] = 0xFF;  // width 0x100000FF in the bitmap header
    huge_image[6 + 16 + 7] = 0x10;
    std::vector<unsigned char> not_an_icon = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0};
    std::vector<unsigned char> odd_height = good;
    odd_height[6 + 16 + 8] = 31;  // a bitmap height must be twice the image height
    std::vector<unsigned char> bad_png = Ico({{16, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 1, 2, 3}}});
    int id = 10;
    for (const auto& data : {truncated, offset_outside, huge_count, huge_image, not_an_icon, odd_height,
                             bad_png, std::vector<unsigned char>()}) {
        g_table[id] = data;
        EXPECT_EQ(Load(id, 16, 16), nullptr) << "table entry " << id;
        id++;
    }
    EXPECT_EQ(Load(99, 16, 16), nullptr) << "unknown id";
    EXPECT_EQ(LoadImageW(nullptr, u"named", IMAGE_ICON, 16, 16, 0), nullptr) << "names are not in the table";
}

TEST(Icons, SystemIconCursorAndBrushExist) {
    EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_NE(LoadCursorW(nullptr, IDC_ARROW), nullptr);
    EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
    EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), 16);
}

}  // namespace

bool FindIconResource(int id, IconResourceData* out) {
    auto found = g_table.find(id);
    if (found == g_table.end()) return false;
    out->bytes = found->second.data();
    out->size = found->second.size();
    return true;
}
