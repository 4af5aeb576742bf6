// The layer's own UTF-8 / UTF-16 helpers (malformed input becomes U+FFFD).
// Internal to platform/; any thread.
#pragma once

#include <stddef.h>

#include <string>

// *had_malformed (may be null) tells whether any U+FFFD replaced a broken sequence.
std::u16string Utf8ToUtf16(const char* text, size_t size, bool* had_malformed = nullptr);
std::u16string Utf8ToUtf16(const char* text);  // null gives ""
// *had_lone_surrogate (may be null) tells whether any U+FFFD replaced one.
std::string Utf16ToUtf8(const char16_t* text, size_t size, bool* had_lone_surrogate);
std::string Utf16ToUtf8(const char16_t* text);  // null gives ""
