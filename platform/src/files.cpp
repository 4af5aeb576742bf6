// Files: GetModuleFileNameW, GetFileAttributesW and _wfopen with Windows'
// text mode (a "\n" written reaches the file as "\r\n"). Any thread.
#define _GNU_SOURCE 1
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "modules.h"
#include "text_conversion.h"
#include "windows.h"

namespace {

// A path the file system can take: false when it is empty or holds a lone
// surrogate (no file of that name can exist here).
bool NativePath(LPCWSTR path, std::string* out) {
    if (path == nullptr || path[0] == 0) return false;
    bool lone = false;
    *out = Utf16ToUtf8(path, std::char_traits<char16_t>::length(path), &lone);
    return !lone;
}

// --- text mode over a binary FILE ---

ssize_t TextWrite(void* cookie, const char* data, size_t size) {
    FILE* file = (FILE*)cookie;
    std::string translated;
    translated.reserve(size + size / 16);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\n') translated.push_back('\r');
        translated.push_back(data[i]);
    }
    // Flushed through, so fflush on the text stream reaches the file.
    if (fwrite(translated.data(), 1, translated.size(), file) != translated.size()) return -1;
    if (fflush(file) != 0) return -1;
    return (ssize_t)size;
}

ssize_t TextRead(void* cookie, char* data, size_t size) {
    FILE* file = (FILE*)cookie;
    size_t n = 0;
    while (n < size) {
        int c = getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            int next = getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                ungetc(next, file);
            }
        }
        data[n++] = (char)c;
    }
    if (n == 0 && ferror(file)) return -1;
    return (ssize_t)n;
}

int TextSeek(void* cookie, off64_t* offset, int whence) {
    FILE* file = (FILE*)cookie;
    if (fseeko(file, *offset, whence) != 0) return -1;
    *offset = ftello(file);
    return 0;
}

int TextClose(void* cookie) { return fclose((FILE*)cookie); }

// Parses a C runtime mode ("r", "w+", "ab", "rt", ...) into a POSIX mode.
bool ParseMode(const std::string& mode, std::string* native, bool* text) {
    if (mode.empty() || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) return false;
    bool plus = false, binary = false, explicit_text = false;
    for (size_t i = 1; i < mode.size(); i++) {
        char c = mode[i];
        if (c == '+' && !plus) plus = true;
        else if (c == 'b' && !binary && !explicit_text) binary = true;
        else if (c == 't' && !binary && !explicit_text) explicit_text = true;
        else return false;
    }
    *native = std::string(1, mode[0]) + (plus ? "+" : "") + "e";  // not inherited by launched programs
    *text = !binary;
    return true;
}

}  // namespace

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
    if (!IsProgramModule(module) || file_name == nullptr || size == 0) return 0;
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
    if (n <= 0 || (size_t)n >= sizeof(path)) return 0;
    std::u16string wide = Utf8ToUtf16(path, (size_t)n);
    if (wide.size() >= size) {
        // Cut to the buffer with the NUL inside it and report the buffer size.
        std::char_traits<char16_t>::copy(file_name, wide.data(), size - 1);
        file_name[size - 1] = 0;
        return size;
    }
    std::char_traits<char16_t>::copy(file_name, wide.data(), wide.size());
    file_name[wide.size()] = 0;
    return (DWORD)wide.size();
}

DWORD WINAPI GetFileAttributesW(LPCWSTR file_name) {
    std::string path;
    if (!NativePath(file_name, &path)) return INVALID_FILE_ATTRIBUTES;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return INVALID_FILE_ATTRIBUTES;
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

FILE* _wfopen(const WCHAR* file_name, const WCHAR* mode) {
    std::string path, native_mode;
    bool text = false;
    if (mode == nullptr || !ParseMode(Utf16ToUtf8(mode), &native_mode, &text)) {
        errno = EINVAL;
        return nullptr;
    }
    if (!NativePath(file_name, &path)) {
        errno = ENOENT;
        return nullptr;
    }
    FILE* file = fopen(path.c_str(), native_mode.c_str());
    if (file == nullptr || !text) return file;

    cookie_io_functions_t text_mode = {TextRead, TextWrite, TextSeek, TextClose};
    FILE* translated = fopencookie(file, native_mode.substr(0, native_mode.size() - 1).c_str(),
                                   text_mode);
    if (translated == nullptr) {
        int saved = errno;
        fclose(file);
        errno = saved;
    }
    return translated;
}
