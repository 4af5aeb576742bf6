// The process's web context: a persistent website-data folder, so the
// page's local storage outlives a run, and the layer's own URI scheme, which
// serves the page given to NavigateToString and the folders mapped to
// virtual hosts. UI thread.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "text_conversion.h"
#include "velkin_names.h"
#include "web_view.h"

namespace {

std::string g_test_data_folder;

std::string UserFolder(const char* variable, const char* fallback) {
    const char* value = g_getenv(variable);
    if (value != nullptr && value[0] == '/') return value;
    return std::string(g_get_home_dir()) + fallback;
}

const char* MimeTypeOf(const std::string& path) {
    static const struct {
        const char* extension;
        const char* mime;
    } kTypes[] = {
        {".html", "text/html"}, {".htm", "text/html"}, {".css", "text/css"},
        {".js", "text/javascript"}, {".mjs", "text/javascript"}, {".json", "application/json"},
        {".txt", "text/plain"}, {".png", "image/png"}, {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"}, {".gif", "image/gif"}, {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"}, {".woff", "font/woff"}, {".woff2", "font/woff2"},
    };
    for (const auto& type : kTypes) {
        size_t n = strlen(type.extension);
        if (path.size() >= n && g_ascii_strcasecmp(path.c_str() + path.size() - n, type.extension) == 0) {
            return type.mime;
        }
    }
    return "application/octet-stream";
}

void FailRequest(WebKitURISchemeRequest* request) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Not found");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
}

void FinishRequest(WebKitURISchemeRequest* request, GInputStream* stream, gint64 size,
                   const char* mime) {
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, size);
    webkit_uri_scheme_response_set_status(response, 200, "OK");
    webkit_uri_scheme_response_set_content_type(response, mime);
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
}

// Resolves a request path inside folder (a real path). Refuses "..", ".",
// backslashes, NULs and anything whose real path leaves the folder (symlinks).
bool ResolveInFolder(const std::string& folder, const char* raw_path, std::string* file) {
    if (raw_path == nullptr) return false;
    char* decoded = g_uri_unescape_string(raw_path, "/\\");  // no encoded separators
    if (decoded == nullptr) return false;
    std::string path = decoded;
    g_free(decoded);
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) return false;
    std::string joined = folder;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string segment = path.substr(start, end - start);
        if (segment == ".." || segment == ".") return false;
        if (!segment.empty()) joined += "/" + segment;
        start = end + 1;
    }
    char resolved[PATH_MAX];
    if (realpath(joined.c_str(), resolved) == nullptr) return false;
    std::string real = resolved;
    if (real.compare(0, folder.size() + 1, folder + "/") != 0) return false;
    struct stat info;
    if (stat(real.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    *file = real;
    return true;
}

void ServeFile(WebKitURISchemeRequest* request, const std::string& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GFileInputStream* stream = g_file_read(file, nullptr, nullptr);
    g_object_unref(file);
    if (stream == nullptr) {
        FailRequest(request);
        return;
    }
    struct stat info;
    gint64 size = stat(path.c_str(), &info) == 0 ? (gint64)info.st_size : -1;
    FinishRequest(request, G_INPUT_STREAM(stream), size, MimeTypeOf(path));
    g_object_unref(stream);
}

void OnSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
    CoreWebView* core = FindCoreWebView(webkit_uri_scheme_request_get_web_view(request));
    GUri* uri = g_uri_parse(webkit_uri_scheme_request_get_uri(request), G_URI_FLAGS_ENCODED, nullptr);
    if (core == nullptr || uri == nullptr) {
        if (uri != nullptr) g_uri_unref(uri);
        FailRequest(request);
        return;
    }
    gchar* lower_host = g_ascii_strdown(g_uri_get_host(uri) != nullptr ? g_uri_get_host(uri) : "", -1);
    std::string host = lower_host;
    g_free(lower_host);
    std::string path = g_uri_get_path(uri);
    g_uri_unref(uri);

    // The page itself, from memory, at its fixed address.
    if (core->page_html.size() > 0 && PageAddress() == std::string(VELKIN_LAYER_SCHEME) + "://" + host + path) {
        GBytes* bytes = g_bytes_new(core->page_html.data(), core->page_html.size());
        GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
        FinishRequest(request, stream, (gint64)core->page_html.size(), "text/html");
        g_object_unref(stream);
        g_bytes_unref(bytes);
        return;
    }
    auto mapping = core->folder_mappings.find(host);
    std::string file;
    if (mapping == core->folder_mappings.end() || !ResolveInFolder(mapping->second, path.c_str(), &file)) {
        FailRequest(request);
        return;
    }
    ServeFile(request, file);
}

}  // namespace

std::string PageOrigin() {
    return std::string(VELKIN_LAYER_SCHEME) + "://" + Utf16ToUtf8(VELKIN_VIRTUAL_HOST);
}

std::string PageAddress() { return PageOrigin() + "/"; }

void SetWebDataFolderForTests(const std::string& folder) { g_test_data_folder = folder; }

std::string WebDataFolder() {
    if (!g_test_data_folder.empty()) return g_test_data_folder;
    return UserFolder("XDG_DATA_HOME", "/.local/share") + "/velkin/webdata";
}

WebKitWebContext* SharedWebContext() {
    static WebKitWebContext* context = nullptr;
    if (context != nullptr) return context;

    // Website data (local storage) persists here; the cache may be thrown away.
    std::string data = WebDataFolder();
    std::string cache = g_test_data_folder.empty()
                            ? UserFolder("XDG_CACHE_HOME", "/.cache") + "/velkin/webcache"
                            : g_test_data_folder + "/cache";
    g_mkdir_with_parents(data.c_str(), 0700);
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new(
        "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
    if (manager == nullptr) return nullptr;
    context = webkit_web_context_new_with_website_data_manager(manager);
    g_object_unref(manager);
    if (context == nullptr) return nullptr;

    // The page's origin must be a secure context with real storage, unlike
    // an opaque origin.
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, VELKIN_LAYER_SCHEME);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, VELKIN_LAYER_SCHEME);
    webkit_web_context_register_uri_scheme(context, VELKIN_LAYER_SCHEME, OnSchemeRequest, nullptr,
                                           nullptr);
    return context;
}
