// Client of the test-only hook, for test programs: connects to the Unix
// socket a test build of the program listens on (VELKIN_TEST_HOOK), sends
// one JSON request line and reads the one-line JSON response. Blocking;
// use it from the test's own thread, never from the program's UI thread.
//
// Requests: {"eval":"<async function body>"} (use `return` to give a value;
// `await` works), {"close":true}, {"snapshot":"/abs/path.png"}, {"windows":true},
// {"resize":true,"width":W,"height":H} (the main window, as the user's drag would;
// answered before GTK hears of the new size).
// Responses: {"ok":true} / {"ok":true,"value":<JSON>} / {"ok":false,"error":"<text>"}.
#pragma once

#include <string>

struct TestHookClient {
    std::string path;    // where the hook listens; kept to connect again
    int socket_fd = -1;  // -1 while not connected
    std::string unread;  // bytes after the last response line
};

// Connects to path, retrying while the socket does not exist yet or refuses,
// until timeout_ms pass. False on time-out.
bool ConnectTestHook(const std::string& path, int timeout_ms, TestHookClient* client);
// Sends request (one line of JSON, no newline needed) and reads the response
// line into *response. False when the connection fails or timeout_ms pass;
// the connection is then dropped, so an answer that comes too late is never
// read as the answer to a later request, which goes over a new connection.
bool SendTestHookRequest(TestHookClient* client, const std::string& request,
                         std::string* response, int timeout_ms);
// Closes the connection and forgets the path; accepts a closed client.
void CloseTestHook(TestHookClient* client);

// The request {"eval":<script as a JSON string>}.
std::string TestHookEvalRequest(const std::string& script);
// The request {"resize":true,"width":width,"height":height}.
std::string TestHookResizeRequest(int width, int height);
// Quotes UTF-8 text as a JSON string literal.
std::string TestHookQuote(const std::string& text);
// For a response {"ok":true,"value":V}: true and V's JSON text in *value.
bool TestHookValue(const std::string& response, std::string* value);
