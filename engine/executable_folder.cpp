// Finding the executable's folder; runs on any thread.

#include "executable_folder.h"

namespace {
constexpr size_t kLongestPath = 32768;  // no system names a longer path
}

std::basic_string<WCHAR> ExecutableFolder() {
    std::basic_string<WCHAR> path(MAX_PATH, u'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);  // 0 on failure: an empty folder
            break;
        }
        // A cut path would name the wrong folder: read it again with room to spare.
        if (path.size() >= kLongestPath) return {};
        path.assign(path.size() * 2, u'\0');
    }
    const size_t separator = path.find_last_of(u"\\/");
    if (separator != std::basic_string<WCHAR>::npos) path.resize(separator + 1);
    return path;
}
