// Text conversion between the engine's UTF-8 and the host's UTF-16.
#include "text_conversion.h"

#include "windows.h"

std::u16string Utf8ToWide(const char* text) {
    if (text == nullptr || text[0] == '\0') return {};
    int n_units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);  // NUL included
    if (n_units <= 1) return {};
    std::u16string wide(static_cast<size_t>(n_units), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n_units);
    wide.resize(static_cast<size_t>(n_units) - 1);
    return wide;
}

std::string WideToUtf8(const std::u16string& text) {
    int n_bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n_bytes <= 1) return {};
    std::string narrow(static_cast<size_t>(n_bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), n_bytes, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(n_bytes) - 1);
    return narrow;
}
