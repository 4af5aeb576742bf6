// Posting a text to the UI thread as a heap copy; runs on any thread.

#include "worker_messages.h"

#include <cstring>
#include <new>

void PostTextMessage(HWND hwnd, UINT message, const char* text) {
    if (!text) text = "";  // a missing text travels as the empty one
    const size_t n = std::strlen(text);
    char* copy = new (std::nothrow) char[n + 1];
    if (!copy) return;
    std::memcpy(copy, text, n + 1);
    if (!PostMessageW(hwnd, message, 0, reinterpret_cast<LPARAM>(copy))) {
        delete[] copy;  // never queued, so no receiver will free it
    }
}
