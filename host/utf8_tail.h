// Finding a UTF-8 character that a reply piece has cut in two, so the page is
// sent whole characters only. Pure; used on the UI thread.
#pragma once

#include <string>

// Length (0 to 3) of the trailing bytes of `text` that begin a multi-byte
// UTF-8 character and lack its last continuation bytes. Bytes that can never
// become valid (a stray continuation byte, 0xF5 and above) count as complete,
// so they are sent at once and turn into U+FFFD there. Can't fail.
size_t IncompleteUtf8TailLength(const std::string& text);
