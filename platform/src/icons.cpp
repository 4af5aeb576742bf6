// Icons, cursors, brushes and metrics as far as a window class needs them:
// LoadImageW reads .ico files from the program's icon table. UI thread.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "icon_resources.h"
#include "window_record.h"

struct PlatformIcon {
    GdkPixbuf* pixbuf = nullptr;
};
struct PlatformCursor {
    int unused = 0;
};
struct PlatformBrush {
    int unused = 0;
};

// The program's icon table comes from resources/; without it, no icons.
__attribute__((weak)) bool FindIconResource(int, IconResourceData*) { return false; }

namespace {
PlatformIcon g_system_icon;  // no pixbuf: the desktop shows its default
PlatformCursor g_arrow_cursor;
PlatformBrush g_white_brush;
const int kLargeIcon = 32;  // SM_CXICON at 96 DPI
const int kSmallIcon = 16;  // SM_CXSMICON at 96 DPI
}  // namespace

GdkPixbuf* IconPixbuf(HICON icon) { return icon != nullptr ? icon->pixbuf : nullptr; }

namespace {

uint32_t ReadLittle(const unsigned char* bytes, int n) {
    uint32_t value = 0;
    for (int i = n - 1; i >= 0; i--) value = (value << 8) | bytes[i];
    return value;
}

struct IconEntry {
    int width = 0;
    int height = 0;
    int bit_count = 0;
    size_t offset = 0;
    size_t size = 0;
};

const size_t kMaxIconSide = 1024;  // larger images are refused, not allocated

// Reads the directory of an .ico file; false when it is malformed.
bool ReadIconDirectory(const IconResourceData& data, std::vector<IconEntry>* entries) {
    const unsigned char* bytes = data.bytes;
    if (bytes == nullptr || data.size < 6) return false;
    if (ReadLittle(bytes, 2) != 0 || ReadLittle(bytes + 2, 2) != 1) return false;
    size_t count = ReadLittle(bytes + 4, 2);
    if (count == 0 || 6 + count * 16 > data.size) return false;
    for (size_t i = 0; i < count; i++) {
        const unsigned char* entry = bytes + 6 + i * 16;
        IconEntry icon;
        icon.width = entry[0] == 0 ? 256 : entry[0];
        icon.height = entry[1] == 0 ? 256 : entry[1];
        icon.bit_count = (int)ReadLittle(entry + 6, 2);
        icon.size = ReadLittle(entry + 8, 4);
        icon.offset = ReadLittle(entry + 12, 4);
        if (icon.offset > data.size || icon.size > data.size - icon.offset) continue;
        entries->push_back(icon);
    }
    return !entries->empty();
}

// A PNG-compressed image, decoded by gdk-pixbuf.
GdkPixbuf* DecodePng(const unsigned char* bytes, size_t size) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (loader == nullptr) return nullptr;
    GdkPixbuf* pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, bytes, size, nullptr) && gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf != nullptr) g_object_ref(pixbuf);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    if (pixbuf != nullptr && (gdk_pixbuf_get_width(pixbuf) > (int)kMaxIconSide ||
                              gdk_pixbuf_get_height(pixbuf) > (int)kMaxIconSide)) {
        g_object_unref(pixbuf);
        pixbuf = nullptr;
    }
    return pixbuf;
}

// A 32-bit or 24-bit bottom-up bitmap with its AND mask (the classic .ico
// image). When a 32-bit image has no alpha at all, the mask gives it.
GdkPixbuf* DecodeBitmap(const unsigned char* bytes, size_t size) {
    if (size < 40 || ReadLittle(bytes, 4) < 40) return nullptr;
    size_t header = ReadLittle(bytes, 4);
    int32_t width = (int32_t)ReadLittle(bytes + 4, 4);
    int32_t double_height = (int32_t)ReadLittle(bytes + 8, 4);
    int bit_count = (int)ReadLittle(bytes + 14, 2);
    uint32_t compression = ReadLittle(bytes + 16, 4);
    if (compression != 0 || (bit_count != 32 && bit_count != 24)) return nullptr;
    if (width <= 0 || double_height <= 0 || double_height % 2 != 0) return nullptr;
    size_t w = (size_t)width, h = (size_t)double_height / 2;
    if (w > kMaxIconSide || h > kMaxIconSide || header > size) return nullptr;
    size_t color_stride = ((w * bit_count + 31) / 32) * 4;
    size_t mask_stride = ((w + 31) / 32) * 4;
    if (size - header < color_stride * h) return nullptr;
    const unsigned char* colors = bytes + header;
    const unsigned char* mask = colors + color_stride * h;
    bool has_mask = size - header >= color_stride * h + mask_stride * h;

    bool any_alpha = false;
    if (bit_count == 32) {
        for (size_t y = 0; y < h && !any_alpha; y++) {
            for (size_t x = 0; x < w; x++) {
                if (colors[y * color_stride + x * 4 + 3] != 0) {
                    any_alpha = true;
                    break;
                }
            }
        }
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, (int)w, (int)h);
    if (pixbuf == nullptr) return nullptr;
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    int stride = gdk_pixbuf_get_rowstride(pixbuf);
    size_t pixel_bytes = (size_t)bit_count / 8;
    for (size_t row = 0; row < h; row++) {
        size_t y = h - 1 - row;  // rows are stored bottom-up
        for (size_t x = 0; x < w; x++) {
            const unsigned char* source = colors + row * color_stride + x * pixel_bytes;
            guchar* target = pixels + y * stride + x * 4;
            target[0] = source[2];
            target[1] = source[1];
            target[2] = source[0];
            if (any_alpha) {
                target[3] = source[3];
            } else {
                bool transparent = has_mask && ((mask[row * mask_stride + x / 8] >> (7 - x % 8)) & 1) != 0;
                target[3] = transparent ? 0 : 255;
            }
        }
    }
    return pixbuf;
}

// The image of the icon nearest to width x height, scaled to that size.
GdkPixbuf* LoadIconPixbuf(const IconResourceData& data, int width, int height) {
    std::vector<IconEntry> entries;
    if (!ReadIconDirectory(data, &entries)) return nullptr;
    if (width <= 0 || height <= 0) {  // the image's own size
        width = entries[0].width;
        height = entries[0].height;
    }
    std::sort(entries.begin(), entries.end(), [&](const IconEntry& a, const IconEntry& b) {
        int distance_a = std::abs(a.width - width) + std::abs(a.height - height);
        int distance_b = std::abs(b.width - width) + std::abs(b.height - height);
        if (distance_a != distance_b) return distance_a < distance_b;
        if (a.width != b.width) return a.width > b.width;  // shrinking looks better than growing
        return a.bit_count > b.bit_count;
    });
    for (const IconEntry& entry : entries) {
        const unsigned char* image = data.bytes + entry.offset;
        bool png = entry.size >= 8 && memcmp(image, "\x89PNG\r\n\x1a\n", 8) == 0;
        GdkPixbuf* pixbuf = png ? DecodePng(image, entry.size) : DecodeBitmap(image, entry.size);
        if (pixbuf == nullptr) continue;  // try the next nearest
        if (gdk_pixbuf_get_width(pixbuf) == width && gdk_pixbuf_get_height(pixbuf) == height) return pixbuf;
        GdkPixbuf* scaled = gdk_pixbuf_scale_simple(pixbuf, width, height, GDK_INTERP_BILINEAR);
        g_object_unref(pixbuf);
        return scaled;
    }
    return nullptr;
}

}  // namespace

HANDLE WINAPI LoadImageW(HINSTANCE, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    if (type != IMAGE_ICON || !IS_INTRESOURCE(name) || cx < 0 || cy < 0) return nullptr;
    if ((cx == 0 || cy == 0) && (flags & LR_DEFAULTSIZE) != 0) {
        if (cx == 0) cx = kLargeIcon;
        if (cy == 0) cy = kLargeIcon;
    }
    // One handle per id and size, kept for the process like a shared icon.
    static std::map<std::tuple<int, int, int>, PlatformIcon*> loaded;
    int id = (int)(ULONG_PTR)name;
    auto key = std::make_tuple(id, cx, cy);
    auto found = loaded.find(key);
    if (found != loaded.end()) return found->second;
    IconResourceData data;
    if (!FindIconResource(id, &data)) return nullptr;
    GdkPixbuf* pixbuf = LoadIconPixbuf(data, cx, cy);
    if (pixbuf == nullptr) return nullptr;
    PlatformIcon* icon = new PlatformIcon();
    icon->pixbuf = pixbuf;
    loaded[key] = icon;
    return icon;
}

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (instance == nullptr && name == IDI_APPLICATION) return &g_system_icon;
    return (HICON)LoadImageW(instance, name, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED);
}

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    return instance == nullptr && name == IDC_ARROW ? &g_arrow_cursor : nullptr;
}

HGDIOBJ WINAPI GetStockObject(int object) {
    return object == WHITE_BRUSH ? &g_white_brush : nullptr;
}

int WINAPI GetSystemMetrics(int index) {
    switch (index) {
    case SM_CXICON:
    case SM_CYICON:
        return kLargeIcon;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return kSmallIcon;
    default:
        return 0;
    }
}
