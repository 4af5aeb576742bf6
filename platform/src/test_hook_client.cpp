// The test hook's client: a blocking Unix-socket line protocol with time-outs.
// Any thread except the program's UI thread.
#include "test_hook_client.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool TryConnect(const std::string& path, int* out) {
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return false;
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, (struct sockaddr*)&address, sizeof(address)) != 0) {
        close(fd);
        return false;
    }
    *out = fd;
    return true;
}

void DropConnection(TestHookClient* client) {
    if (client->socket_fd >= 0) close(client->socket_fd);
    client->socket_fd = -1;
    client->unread.clear();
}

// Sends the line and reads one answer line; false on any failure or time-out.
bool Exchange(TestHookClient* client, const std::string& line, std::string* response, int timeout_ms) {
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(client->socket_fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += (size_t)n;
    }
    long long deadline = NowMs() + timeout_ms;
    for (;;) {
        size_t end = client->unread.find('\n');
        if (end != std::string::npos) {
            *response = client->unread.substr(0, end);
            client->unread.erase(0, end + 1);
            return true;
        }
        long long left = deadline - NowMs();
        if (left <= 0) return false;
        struct pollfd wait = {client->socket_fd, POLLIN, 0};
        int ready = poll(&wait, 1, (int)left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[4096];
        ssize_t n = recv(client->socket_fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // the program closed the connection
        client->unread.append(buffer, (size_t)n);
    }
}

}  // namespace

bool ConnectTestHook(const std::string& path, int timeout_ms, TestHookClient* client) {
    CloseTestHook(client);
    client->path = path;
    long long deadline = NowMs() + timeout_ms;
    for (;;) {
        if (TryConnect(path, &client->socket_fd)) return true;
        if (NowMs() >= deadline) return false;
        struct timespec pause = {0, 20000000};
        nanosleep(&pause, nullptr);
    }
}

bool SendTestHookRequest(TestHookClient* client, const std::string& request,
                         std::string* response, int timeout_ms) {
    // After a dropped connection the hook is already listening: one try is enough.
    if (client->socket_fd < 0 && (client->path.empty() || !TryConnect(client->path, &client->socket_fd))) {
        return false;
    }
    if (Exchange(client, request + "\n", response, timeout_ms)) return true;
    DropConnection(client);
    return false;
}

void CloseTestHook(TestHookClient* client) {
    DropConnection(client);
    client->path.clear();
}

std::string TestHookQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back((char)c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out.push_back((char)c);
        }
    }
    return out + "\"";
}

std::string TestHookEvalRequest(const std::string& script) {
    return "{\"eval\":" + TestHookQuote(script) + "}";
}

std::string TestHookResizeRequest(int width, int height) {
    return "{\"resize\":true,\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) + "}";
}

bool TestHookValue(const std::string& response, std::string* value) {
    const std::string prefix = "{\"ok\":true,\"value\":";
    if (response.compare(0, prefix.size(), prefix) != 0 || response.back() != '}') return false;
    *value = response.substr(prefix.size(), response.size() - prefix.size() - 1);
    return true;
}
