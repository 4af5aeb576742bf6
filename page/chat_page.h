// The chat page, embedded at build time from page/chat_page.html with the
// asset address filled in. Read-only data; any thread may read it.
#pragma once

#include <cstddef>

// The whole page as UTF-8, NUL-terminated.
extern const char kChatPageUtf8[];
// Its length in bytes, the terminator not counted.
extern const size_t kChatPageUtf8Size;
