// UTF-8 <-> UTF-16 between the engine's texts and the host's, through the
// platform's converters (malformed input becomes U+FFFD). Any thread; can't fail:
// no text gives an empty one.
#pragma once

#include <string>

// NUL-terminated UTF-8 (null allowed) to UTF-16.
std::u16string Utf8ToWide(const char* text);
// UTF-16, up to its first NUL, to UTF-8.
std::string WideToUtf8(const std::u16string& text);
