// Quoting a text as a JSON string literal and reading one string member of a
// flat JSON message: the whole of the JSON the host writes and reads. Not a
// general JSON library: the divergences from the standard are intended and
// listed at each function. Pure and reentrant; the host calls them on the UI
// thread.
#pragma once

#include <string>

// Returns `text` as a JSON string literal, quotes included. Tab, line feed,
// carriage return, quotation mark and backslash become two-unit escapes;
// every other unit below U+0020 becomes "\u" and four lowercase hex digits;
// everything else (U+007F, '/', non-ASCII, surrogates paired or lone) is
// copied unchanged. Can't fail.
std::u16string JsonQuote(const std::u16string& text);

// Returns the value of the first string member named `key` (NUL-terminated)
// anywhere in `json`, or the empty string when there is none, when the value
// is not a string, or when it is empty: callers treat all three alike.
// Only spaces may stand between the colon and the value. Escapes decode
// \" \\ \n \r \t; any other escaped unit stands for itself, so "\u0041"
// reads as "u0041" and "\b" as "b". An unterminated value yields what was
// read up to the end.
std::u16string JsonGetString(const std::u16string& json, const char16_t* key);
