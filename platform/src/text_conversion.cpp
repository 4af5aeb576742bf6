// UTF-8 <-> UTF-16 conversion for MultiByteToWideChar / WideCharToMultiByte
// (code page UTF-8 only). Pure functions; any thread.
#include "text_conversion.h"

#include "windows.h"

namespace {

const char16_t kReplacement = 0xFFFD;

// Decodes one code point at text[*at], advancing *at. A malformed sequence
// yields U+FFFD and consumes its maximal valid prefix (at least one byte), so
// each broken sequence becomes exactly one replacement character; it sets *malformed.
char32_t DecodeUtf8(const unsigned char* text, size_t size, size_t* at, bool* malformed) {
    *malformed = true;  // until the sequence proves whole
    size_t i = *at;
    unsigned char lead = text[i++];
    if (lead < 0x80) {
        *at = i;
        *malformed = false;
        return lead;
    }
    int n_more = 0;
    char32_t code = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n_more = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n_more = 2;
        code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n_more = 3;
        code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        *at = i;
        return kReplacement;
    }
    for (int k = 0; k < n_more; k++) {
        if (i >= size) {
            *at = i;
            return kReplacement;
        }
        unsigned char byte = text[i];
        unsigned char min = k == 0 ? low : 0x80;
        unsigned char max = k == 0 ? high : 0xBF;
        if (byte < min || byte > max) {
            *at = i;  // the offending byte starts the next sequence
            return kReplacement;
        }
        code = (code << 6) | (byte & 0x3F);
        i++;
    }
    *at = i;
    *malformed = false;
    return code;
}

int EncodeUtf8(char32_t code, char* out) {
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xC0 | (code >> 6));
        out[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = (char)(0xE0 | (code >> 12));
        out[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (code >> 18));
    out[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    out[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

// Decodes one code point of UTF-16; a lone surrogate sets *lone.
char32_t DecodeUtf16(const char16_t* text, size_t size, size_t* at, bool* lone) {
    char16_t unit = text[(*at)++];
    *lone = false;
    if (unit < 0xD800 || unit > 0xDFFF) return unit;
    if (unit <= 0xDBFF && *at < size && text[*at] >= 0xDC00 && text[*at] <= 0xDFFF) {
        char16_t trail = text[(*at)++];
        return 0x10000 + (((char32_t)unit - 0xD800) << 10) + (trail - 0xDC00);
    }
    *lone = true;
    return kReplacement;
}

}  // namespace

std::u16string Utf8ToUtf16(const char* text, size_t size, bool* had_malformed) {
    std::u16string out;
    out.reserve(size);
    if (had_malformed != nullptr) *had_malformed = false;
    const unsigned char* bytes = (const unsigned char*)text;
    size_t at = 0;
    while (at < size) {
        bool malformed = false;
        char32_t code = DecodeUtf8(bytes, size, &at, &malformed);
        if (malformed && had_malformed != nullptr) *had_malformed = true;
        if (code >= 0x10000) {
            out.push_back((char16_t)(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back((char16_t)(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back((char16_t)code);
        }
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* text, size_t size, bool* had_lone_surrogate) {
    std::string out;
    out.reserve(size);
    if (had_lone_surrogate != nullptr) *had_lone_surrogate = false;
    size_t at = 0;
    char bytes[4];
    while (at < size) {
        bool lone = false;
        char32_t code = DecodeUtf16(text, size, &at, &lone);
        if (lone && had_lone_surrogate != nullptr) *had_lone_surrogate = true;
        out.append(bytes, EncodeUtf8(code, bytes));
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* text) {
    if (text == nullptr) return std::string();
    return Utf16ToUtf8(text, std::char_traits<char16_t>::length(text), nullptr);
}

std::u16string Utf8ToUtf16(const char* text) {
    if (text == nullptr) return std::u16string();
    return Utf8ToUtf16(text, std::char_traits<char>::length(text));
}

int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte, int n_multi_byte,
                               LPWSTR wide, int n_wide) {
    if (code_page != CP_UTF8 || (flags != 0 && flags != MB_ERR_INVALID_CHARS)) return 0;
    if (multi_byte == nullptr || n_multi_byte == 0 || n_multi_byte < -1) return 0;
    if (n_wide < 0 || (n_wide > 0 && wide == nullptr)) return 0;
    size_t size = n_multi_byte == -1 ? std::char_traits<char>::length(multi_byte) + 1
                                     : (size_t)n_multi_byte;
    bool malformed = false;
    std::u16string converted = Utf8ToUtf16(multi_byte, size, &malformed);
    if (malformed && flags == MB_ERR_INVALID_CHARS) return 0;
    if (converted.size() > (size_t)INT32_MAX) return 0;
    int needed = (int)converted.size();
    if (n_wide == 0) return needed;
    if (needed > n_wide) return 0;  // too small: nothing usable is promised
    std::char_traits<char16_t>::copy(wide, converted.data(), converted.size());
    return needed;
}

int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int n_wide,
                               LPSTR multi_byte, int n_multi_byte, LPCSTR default_char,
                               BOOL* used_default_char) {
    // UTF-8 has no default character: asking for one is an error, as on Windows.
    if (code_page != CP_UTF8 || flags != 0) return 0;
    if (default_char != nullptr || used_default_char != nullptr) return 0;
    if (wide == nullptr || n_wide == 0 || n_wide < -1) return 0;
    if (n_multi_byte < 0 || (n_multi_byte > 0 && multi_byte == nullptr)) return 0;
    size_t size = n_wide == -1 ? std::char_traits<char16_t>::length(wide) + 1 : (size_t)n_wide;
    std::string converted = Utf16ToUtf8(wide, size, nullptr);
    if (converted.size() > (size_t)INT32_MAX) return 0;
    int needed = (int)converted.size();
    if (n_multi_byte == 0) return needed;
    if (needed > n_multi_byte) return 0;
    std::char_traits<char>::copy(multi_byte, converted.data(), converted.size());
    return needed;
}
