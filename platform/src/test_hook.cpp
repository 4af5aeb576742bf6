// The test-only hook, linked only into test programs: when VELKIN_TEST_HOOK
// names a Unix socket path, the program listens there from its first window
// on and answers one JSON request per line on the UI thread (see
// test_hook_client.h for the protocol). VELKIN_TEST_WEB_DATA_DIR, if set,
// keeps the web data (local storage) in that folder instead of the user's.
#include <gio/gunixsocketaddress.h>
#include <stdlib.h>
#include <unistd.h>

#include <string.h>

#include <map>
#include <string>

#include "test_hook_client.h"
#include "text_conversion.h"
#include "web_view.h"
#include "window_record.h"

namespace {

struct HookState {
    std::string socket_path;
    GSocketService* service = nullptr;
    HWND main_window = nullptr;
};

HookState g_hook;

// The hook reads requests with its own small JSON reader: a JavaScript
// engine in the program's own process would disturb the web view's.
std::string JsonQuote(const std::string& text) { return TestHookQuote(text); }

// A request: one JSON object whose members are strings or literals.
struct Request {
    std::map<std::string, std::string> strings;
    std::map<std::string, std::string> literals;  // true, false, null, numbers
};

void SkipSpace(const std::string& text, size_t* at) {
    while (*at < text.size() && strchr(" \t\r\n", text[*at]) != nullptr && text[*at] != 0) (*at)++;
}

bool ReadHex4(const std::string& text, size_t at, unsigned* out) {
    if (at + 4 > text.size()) return false;
    *out = 0;
    for (size_t i = at; i < at + 4; i++) {
        int digit = g_ascii_xdigit_value(text[i]);
        if (digit < 0) return false;
        *out = *out * 16 + (unsigned)digit;
    }
    return true;
}

bool ReadString(const std::string& text, size_t* at, std::string* out) {
    if (*at >= text.size() || text[*at] != '"') return false;
    std::u16string units;
    std::string bytes;
    for (size_t i = *at + 1; i < text.size(); i++) {
        char c = text[i];
        if (c == '"') {
            *out = bytes;
            *at = i + 1;
            return true;
        }
        if ((unsigned char)c < 0x20) return false;
        if (c != '\\') {
            bytes.push_back(c);
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
        case '"': bytes.push_back('"'); break;
        case '\\': bytes.push_back('\\'); break;
        case '/': bytes.push_back('/'); break;
        case 'b': bytes.push_back('\b'); break;
        case 'f': bytes.push_back('\f'); break;
        case 'n': bytes.push_back('\n'); break;
        case 'r': bytes.push_back('\r'); break;
        case 't': bytes.push_back('\t'); break;
        case 'u': {
            unsigned unit = 0, low = 0;
            if (!ReadHex4(text, i + 1, &unit)) return false;
            i += 4;
            std::u16string pair(1, (char16_t)unit);
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 6 < text.size() && text[i + 1] == '\\' &&
                text[i + 2] == 'u' && ReadHex4(text, i + 3, &low) && low >= 0xDC00 && low <= 0xDFFF) {
                pair.push_back((char16_t)low);
                i += 6;
            }
            bytes += Utf16ToUtf8(pair.data(), pair.size(), nullptr);
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

bool ParseRequest(const std::string& text, Request* request) {
    size_t at = 0;
    SkipSpace(text, &at);
    if (at >= text.size() || text[at++] != '{') return false;
    SkipSpace(text, &at);
    if (at < text.size() && text[at] == '}') return false;  // an empty request asks nothing
    for (;;) {
        std::string name;
        SkipSpace(text, &at);
        if (!ReadString(text, &at, &name)) return false;
        SkipSpace(text, &at);
        if (at >= text.size() || text[at++] != ':') return false;
        SkipSpace(text, &at);
        if (at < text.size() && text[at] == '"') {
            std::string value;
            if (!ReadString(text, &at, &value)) return false;
            request->strings[name] = value;
        } else {
            size_t end = text.find_first_of(",} \t\r\n", at);
            if (end == std::string::npos || end == at) return false;
            request->literals[name] = text.substr(at, end - at);
            at = end;
        }
        SkipSpace(text, &at);
        if (at >= text.size()) return false;
        char separator = text[at++];
        if (separator == '}') break;
        if (separator != ',') return false;
    }
    SkipSpace(text, &at);
    return at == text.size();
}

std::string Failure(const std::string& error) { return "{\"ok\":false,\"error\":" + JsonQuote(error) + "}"; }

// One connection: reads lines, answers each in order.
struct Connection {
    GSocketConnection* socket = nullptr;
    GDataInputStream* input = nullptr;
    GOutputStream* output = nullptr;
};

void ReadNextLine(Connection* connection);

void CloseConnection(Connection* connection) {
    g_object_unref(connection->input);
    g_object_unref(connection->socket);
    delete connection;
}

void Answer(Connection* connection, const std::string& response) {
    std::string line = response + "\n";
    g_output_stream_write_all(connection->output, line.data(), line.size(), nullptr, nullptr, nullptr);
    g_output_stream_flush(connection->output, nullptr, nullptr);
}

WebKitWebView* PageView() {
    WebKitWebView* view = FindWebViewIn(g_hook.main_window);
    if (view == nullptr || webkit_web_view_get_uri(view) == nullptr) return nullptr;
    return view;
}

void AnswerWindows(Connection* connection) {
    HWND window = g_hook.main_window;
    if (!IsWindow(window)) {
        Answer(connection, Failure("no window"));
        return;
    }
    bool visible = gtk_widget_get_visible(window->toplevel) && !window->minimized;
    const char* title = gtk_window_get_title(GTK_WINDOW(window->toplevel));
    Answer(connection, std::string("{\"ok\":true,\"value\":{\"visible\":") + (visible ? "true" : "false") +
                           ",\"title\":" + JsonQuote(title != nullptr ? title : "") +
                           ",\"width\":" + std::to_string(window->client_width) +
                           ",\"height\":" + std::to_string(window->client_height) + "}}");
}

// A literal that is a whole number of pixels an X window can have (1 to
// 32767), or 0 when it is anything else.
int PixelCount(const std::string& literal) {
    if (literal.empty() || literal.size() > 5) return 0;
    int count = 0;
    for (char c : literal) {
        if (c < '0' || c > '9') return 0;
        count = count * 10 + (c - '0');
    }
    return count <= 32767 ? count : 0;
}

// Resizes the main window's X window as a window manager does for the user's
// drag: GTK learns the size from the server, as it would from a real drag.
void AnswerResize(Connection* connection, int width, int height) {
    HWND window = g_hook.main_window;
    GdkWindow* gdk_window = IsWindow(window) ? gtk_widget_get_window(window->toplevel) : nullptr;
    if (gdk_window == nullptr) {
        Answer(connection, Failure("no window shown"));
    } else if (width == 0 || height == 0) {
        Answer(connection, Failure("bad size"));
    } else {
        gdk_window_resize(gdk_window, width, height);
        Answer(connection, "{\"ok\":true}");
    }
}

struct SnapshotJob {
    Connection* connection = nullptr;
    std::string path;
};

void OnSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
    SnapshotJob* job = (SnapshotJob*)data;
    GError* error = nullptr;
    cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (surface == nullptr) {
        Answer(job->connection, Failure(error != nullptr ? error->message : "snapshot failed"));
        g_clear_error(&error);
    } else {
        cairo_status_t status = cairo_surface_write_to_png(surface, job->path.c_str());
        cairo_surface_destroy(surface);
        Answer(job->connection, status == CAIRO_STATUS_SUCCESS ? "{\"ok\":true}"
                                                               : Failure(cairo_status_to_string(status)));
    }
    ReadNextLine(job->connection);
    delete job;
}

// Handles one request; answers now or later, then reads the next line.
void HandleRequest(Connection* connection, const std::string& line) {
    Request request;
    bool parsed = ParseRequest(line, &request);
    auto text = [&](const char* name, std::string* value) {
        auto found = request.strings.find(name);
        if (found == request.strings.end()) return false;
        *value = found->second;
        return true;
    };
    auto literal = [&](const char* name) {
        auto found = request.literals.find(name);
        return found != request.literals.end() ? found->second : std::string();
    };
    auto flag = [&](const char* name) { return literal(name) == "true"; };
    std::string script, path;
    bool deferred = false;

    if (parsed && text("eval", &script)) {
        WebKitWebView* view = PageView();
        if (view == nullptr) {
            Answer(connection, Failure("no page"));
        } else {
            deferred = true;
            EvaluateFunctionBody(view, script, [connection](bool ok, const std::string& result) {
                Answer(connection, ok ? "{\"ok\":true,\"value\":" + result + "}" : Failure(result));
                ReadNextLine(connection);
            });
        }
    } else if (parsed && flag("close")) {
        if (!IsWindow(g_hook.main_window)) {
            Answer(connection, Failure("no window"));
        } else {
            Answer(connection, "{\"ok\":true}");
            // As the user's click on the close button: GTK's delete event.
            gtk_window_close(GTK_WINDOW(g_hook.main_window->toplevel));
        }
    } else if (parsed && text("snapshot", &path)) {
        WebKitWebView* view = FindWebViewIn(g_hook.main_window);
        if (path.empty() || path[0] != '/') {
            Answer(connection, Failure("snapshot path must be absolute"));
        } else if (view == nullptr) {
            Answer(connection, Failure("no page"));
        } else {
            deferred = true;
            webkit_web_view_get_snapshot(view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                                         nullptr, OnSnapshot, new SnapshotJob{connection, path});
        }
    } else if (parsed && flag("windows")) {
        AnswerWindows(connection);
    } else if (parsed && flag("resize")) {
        AnswerResize(connection, PixelCount(literal("width")), PixelCount(literal("height")));
    } else {
        Answer(connection, Failure("bad request"));
    }
    if (!deferred) ReadNextLine(connection);
}

void OnLine(GObject* source, GAsyncResult* result, gpointer data) {
    Connection* connection = (Connection*)data;
    gsize length = 0;
    char* line = g_data_input_stream_read_line_finish_utf8(G_DATA_INPUT_STREAM(source), result, &length, nullptr);
    if (line == nullptr) {  // end of stream, an error, or not UTF-8
        CloseConnection(connection);
        return;
    }
    std::string request(line, length);
    g_free(line);
    HandleRequest(connection, request);
}

void ReadNextLine(Connection* connection) {
    g_data_input_stream_read_line_async(connection->input, G_PRIORITY_DEFAULT, nullptr, OnLine, connection);
}

gboolean OnIncoming(GSocketService*, GSocketConnection* socket, GObject*, gpointer) {
    Connection* connection = new Connection();
    connection->socket = G_SOCKET_CONNECTION(g_object_ref(socket));
    connection->input = g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(socket)));
    connection->output = g_io_stream_get_output_stream(G_IO_STREAM(socket));
    ReadNextLine(connection);
    return TRUE;
}

void RemoveSocketFile() {
    if (!g_hook.socket_path.empty()) unlink(g_hook.socket_path.c_str());
}

void StartListening(const char* path) {
    unlink(path);  // a socket left by a crashed run
    GSocketAddress* address = g_unix_socket_address_new(path);
    g_hook.service = g_socket_service_new();
    GError* error = nullptr;
    if (!g_socket_listener_add_address(G_SOCKET_LISTENER(g_hook.service), address, G_SOCKET_TYPE_STREAM,
                                       G_SOCKET_PROTOCOL_DEFAULT, nullptr, nullptr, &error)) {
        g_printerr("test hook: cannot listen on %s: %s\n", path, error->message);
        g_clear_error(&error);
        g_object_unref(address);
        return;
    }
    g_object_unref(address);
    g_hook.socket_path = path;
    static bool exit_cleanup = false;
    if (!exit_cleanup) atexit(RemoveSocketFile);
    exit_cleanup = true;
    g_signal_connect(g_hook.service, "incoming", G_CALLBACK(OnIncoming), nullptr);
    g_socket_service_start(g_hook.service);
}

void StopListening() {
    if (g_hook.service == nullptr) return;
    g_socket_service_stop(g_hook.service);
    g_socket_listener_close(G_SOCKET_LISTENER(g_hook.service));
    g_object_unref(g_hook.service);
    g_hook.service = nullptr;
    RemoveSocketFile();
    g_hook.socket_path.clear();
}

// The first top-level window is the main window; the hook lives as long as it.
void OnToplevelCreated(HWND window) {
    if (IsWindow(g_hook.main_window)) return;
    g_hook.main_window = window;
    const char* data_folder = g_getenv("VELKIN_TEST_WEB_DATA_DIR");
    if (data_folder != nullptr && data_folder[0] == '/') SetWebDataFolderForTests(data_folder);
    const char* path = g_getenv("VELKIN_TEST_HOOK");
    if (path != nullptr && path[0] != 0) StartListening(path);
}

void OnToplevelDestroyed(HWND window) {
    if (window != g_hook.main_window) return;
    g_hook.main_window = nullptr;
    StopListening();
}

// Linking this file is what turns the hook on.
struct HookInstaller {
    HookInstaller() {
        g_toplevel_created_listener = OnToplevelCreated;
        g_toplevel_destroyed_listener = OnToplevelDestroyed;
    }
};
HookInstaller g_installer;

}  // namespace
