// UTF-8 <-> UTF-16 conversion through MultiByteToWideChar and
// WideCharToMultiByte: valid, malformed and hostile input, and the
// ask-then-fill length protocol.
#include <gtest/gtest.h>

#include <string>

#include "windows.h"

namespace {

// Converts with the two-call protocol the program uses; counted input.
std::u16string ToWide(const std::string& bytes) {
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
    if (n <= 0) return u"<fail>";
    std::u16string out(n, u'\0');
    int written = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), (int)bytes.size(), &out[0], n);
    if (written != n) return u"<fill mismatch>";
    return out;
}

std::string ToUtf8(const std::u16string& wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return "<fail>";
    std::string out(n, '\0');
    int written = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], n,
                                      nullptr, nullptr);
    if (written != n) return "<fill mismatch>";
    return out;
}

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::u16string expected;
};

TEST(Utf8ToUtf16, ValidAndMalformedInputConvertsLikeWindows) {
    const Utf8Case cases[] = {
        // valid
        {"ascii", "Hello", u"Hello"},
        {"two-byte", "caf\xC3\xA9", u"caf\u00E9"},
        {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
        {"emoji becomes a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"embedded NUL counted", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"U+2028 kept", "\xE2\x80\xA8", u"\u2028"},
        // invalid: each broken sequence is one U+FFFD, the rest survives
        {"lone continuation", "a\x80z", u"a\uFFFDz"},
        {"truncated two-byte at end", "ab\xC3", u"ab\uFFFD"},
        {"truncated three-byte then ascii", "\xE2\x82z", u"\uFFFDz"},
        {"truncated emoji at end", "x\xF0\x9F\x98", u"x\uFFFD"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"never-valid bytes", "\xFE\xFF", u"\uFFFD\uFFFD"},
        // hostile
        {"markup survives untouched", "<script>alert(1)</script>", u"<script>alert(1)</script>"},
        {"emoji cut by a new lead byte", "\xF0\x9F\xC3\xA9", u"\uFFFD\u00E9"},
        {"run of continuation bytes", "\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
    };
    for (const Utf8Case& test : cases) {
        EXPECT_EQ(ToWide(test.bytes), test.expected) << test.name;
        // MB_ERR_INVALID_CHARS fails exactly where a replacement character was made.
        const bool malformed = test.expected.find(u'\uFFFD') != std::u16string::npos;
        const int strict =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, test.bytes.data(), (int)test.bytes.size(), nullptr, 0);
        EXPECT_EQ(strict == 0, malformed) << test.name << ", with MB_ERR_INVALID_CHARS";
    }
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xEF\xBF\xBD", 4, nullptr, 0), 2)
        << "a replacement character written in the text is no error";
}

struct Utf16Case {
    const char* name;
    std::u16string wide;
    std::string expected;
};

TEST(Utf16ToUtf8, LoneSurrogatesBecomeReplacementCharacters) {
    const Utf16Case cases[] = {
        {"ascii", u"Hello", "Hello"},
        {"bmp", u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"},
        {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
        {"lone high at end", std::u16string(u"a") + char16_t(0xD83D), "a\xEF\xBF\xBD"},
        {"lone low", std::u16string(1, char16_t(0xDE00)) + u"b", "\xEF\xBF\xBD" "b"},
        {"reversed pair", std::u16string{char16_t(0xDE00), char16_t(0xD83D)},
         "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"high then ascii", std::u16string{char16_t(0xD83D), u'x'}, "\xEF\xBF\xBDx"},
    };
    for (const Utf16Case& test : cases) {
        EXPECT_EQ(ToUtf8(test.wide), test.expected) << test.name;
    }
}

TEST(TextConversion, MinusOneCountsTheTerminatingNul) {
    // "é" is one unit plus NUL; the NUL is written and counted.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", -1, nullptr, 0), 2);
    WCHAR wide[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", -1, wide, 4), 2);
    EXPECT_EQ(wide[0], u'\u00E9');
    EXPECT_EQ(wide[1], u'\0');
    EXPECT_EQ(wide[2], u'x');  // nothing written past the count

    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, nullptr, 0, nullptr, nullptr), 3);
    char bytes[5] = "xxxx";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, bytes, 5, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(bytes, 4), std::string("\xC3\xA9\0x", 4));

    // An empty NUL-terminated string is just its terminator.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, nullptr, 0), 1);
}

TEST(TextConversion, BadArgumentsFailWithZero) {
    WCHAR wide[8];
    char bytes[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8), 0) << "empty counted input";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8), 0) << "null input";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 8), 0) << "negative count";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 8), 0) << "null output";
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, wide, 8), 0) << "other code page";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", 6, wide, 5), 0) << "output too small";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", 1, bytes, 2, nullptr, nullptr), 0)
        << "three bytes do not fit in two";
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 8, nullptr, &used), 0)
        << "UTF-8 has no default character";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 0, bytes, 8, nullptr, nullptr), 0);
}

TEST(TextConversion, RoundTripOfEveryPlaneKeepsTheText) {
    std::u16string all;
    for (char32_t code = 1; code <= 0x10FFFF; code += 97) {
        if (code >= 0xD800 && code <= 0xDFFF) continue;
        if (code >= 0x10000) {
            all.push_back((char16_t)(0xD800 + ((code - 0x10000) >> 10)));
            all.push_back((char16_t)(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            all.push_back((char16_t)code);
        }
    }
    EXPECT_EQ(ToWide(ToUtf8(all)), all);
}

}  // namespace
