// Worker messages to page messages, page messages to engine actions, and the
// page's client-error records. UI thread only.
#include "message_bridge.h"

#include <cstdio>

#include "executable_folder.h"
#include "json_text.h"
#include "text_conversion.h"
#include "utf8_tail.h"

namespace {

const int kGreetingMaxTokens = 120;
const int kDefaultMaxTokens = -1;  // the engine's own limit

// Worker payloads are heap copies made by the engine's PostTextMessage.
char* PayloadText(LPARAM payload) { return reinterpret_cast<char*>(payload); }
void FreePayload(LPARAM payload) { delete[] PayloadText(payload); }

void PostTokenText(AppState& state, const std::string& utf8) {
    PostToPage(state, u"{\"type\":\"token\",\"text\":" + JsonQuote(Utf8ToWide(utf8.c_str())) + u"}");
}

// Sends whatever a cut character left held back: it can no longer complete,
// so the page gets U+FFFD in its place.
void FlushHeldBackBytes(AppState& state) {
    size_t n_held = IncompleteUtf8TailLength(state.reply);
    if (n_held > 0) PostTokenText(state, state.reply.substr(state.reply.size() - n_held));
}

// Ends the streamed reply: the page gets any held-back bytes, and the history
// the reply as the page shows it (bytes that form no character as U+FFFD, which
// every tokeniser reads), without trailing line breaks and spaces; an empty one adds no turn.
void StoreReply(AppState& state) {
    FlushHeldBackBytes(state);
    std::string shown = WideToUtf8(Utf8ToWide(state.reply.c_str()));
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r' || shown.back() == ' ')) shown.pop_back();
    if (!shown.empty()) state.history->messages.push_back(ChatMessage{1, shown});
    state.reply.clear();
}

void CloseWorkerHandle(AppState& state) {
    if (state.worker_thread == nullptr) return;
    CloseHandle(state.worker_thread);
    state.worker_thread = nullptr;
}

// The loader holds the worker slot until its final message; a new chat then
// would reset the engine under it.
bool ModelLoaderRunning(const AppState& state) {
    return !state.model_loaded && state.worker_thread != nullptr;
}

struct TurnKind {
    int max_tokens;
    const char16_t* start_failure;
};
const TurnKind kUserTurn = {kDefaultMaxTokens,
                            u"{\"type\":\"error\",\"text\":\"Could not start generation thread.\"}"};
const TurnKind kGreetingTurn = {kGreetingMaxTokens,
                                u"{\"type\":\"error\",\"text\":\"Could not start greeting thread.\"}"};

// Adds the user turn, tells the page a reply starts and starts its thread.
void StartGeneration(AppState& state, const std::string& user_text, const TurnKind& kind) {
    AddUserMessage(*state.history, user_text);
    std::string prompt = BuildPrompt(*state.history);
    state.generating = true;
    state.stop_requested.exchange(false);
    PostToPage(state, u"{\"type\":\"assistant_start\"}");

    auto* request = new GenerationRequest{state.hwnd, state.engine.get(), std::move(prompt),
                                          &state.stop_requested, kind.max_tokens};
    CloseWorkerHandle(state);  // a finished worker may still be exiting; not waited for
    state.worker_thread = StartGenerationThread(request);
    if (state.worker_thread == nullptr) {
        DeleteGenerationRequest(request);
        state.generating = false;
        PostToPage(state, kind.start_failure);
    }
}

void WriteClientErrorRecord(const std::u16string& json) {
    std::u16string path = ExecutableFolder() + u"jsdebug.log";
    std::string record = WideToUtf8(ClientErrorRecord(json));
    FILE* file = _wfopen(path.c_str(), u"ab");  // binary: the record's CR LF stand as written
    if (file == nullptr) return;                 // the record is lost, as a log line would be
    std::fwrite(record.data(), 1, record.size(), file);
    std::fclose(file);
}

}  // namespace

void PostToPage(AppState& state, const std::u16string& json) {
    if (state.web_ready && state.webview) {
        state.webview->PostWebMessageAsJson(json.c_str());
        return;
    }
    state.pending_messages.push_back(json);
}

void GenerateGreeting(AppState& state) { StartGeneration(state, "Hello!", kGreetingTurn); }

void OnTokenMessage(AppState& state, LPARAM payload) {
    if (state.hwnd == nullptr) {
        FreePayload(payload);
        return;
    }
    // The page gets whole characters only: bytes of a character that the
    // piece cut in two wait in `reply` for the next piece.
    size_t sent_end = state.reply.size() - IncompleteUtf8TailLength(state.reply);
    if (PayloadText(payload) != nullptr) state.reply += PayloadText(payload);
    size_t complete_end = state.reply.size() - IncompleteUtf8TailLength(state.reply);
    PostTokenText(state, state.reply.substr(sent_end, complete_end - sent_end));
    FreePayload(payload);
}

void OnStatusMessage(AppState& state, LPARAM payload) {
    std::u16string text = Utf8ToWide(PayloadText(payload));
    PostToPage(state, u"{\"type\":\"status\",\"state\":\"\",\"text\":" + JsonQuote(text) + u"}");
    FreePayload(payload);
}

void OnLoadDoneMessage(AppState& state) {
    state.model_loaded = true;
    state.generating = false;
    CloseWorkerHandle(state);
    PostToPage(state, u"{\"type\":\"load_done\"}");
    GenerateGreeting(state);
}

void OnGenDoneMessage(AppState& state) {
    StoreReply(state);
    state.generating = false;
    CloseWorkerHandle(state);
    bool stopped = state.stop_requested.exchange(false);
    PostToPage(state, stopped ? u"{\"type\":\"gen_done\",\"stopped\":true}"
                              : u"{\"type\":\"gen_done\",\"stopped\":false}");
}

void OnErrorMessage(AppState& state, LPARAM payload) {
    state.generating = false;
    state.stop_requested.exchange(false);
    CloseWorkerHandle(state);
    StoreReply(state);  // what a cut-off reply showed stays; the failed user turn stays too
    std::u16string text = Utf8ToWide(PayloadText(payload));
    PostToPage(state, u"{\"type\":\"error\",\"text\":" + JsonQuote(text) + u"}");
    FreePayload(payload);
}

bool HandleWorkerMessage(AppState& state, UINT message, LPARAM payload) {
    switch (message) {
    case WM_APP_TOKEN: OnTokenMessage(state, payload); return true;
    case WM_APP_STATUS: OnStatusMessage(state, payload); return true;
    case WM_APP_LOAD_DONE: OnLoadDoneMessage(state); return true;
    case WM_APP_GEN_DONE: OnGenDoneMessage(state); return true;
    case WM_APP_ERROR: OnErrorMessage(state, payload); return true;
    default: return false;
    }
}

void DiscardWorkerMessages(HWND window) {
    MSG left;
    while (PeekMessageW(&left, window, WM_APP_TOKEN, WM_APP_ERROR, PM_REMOVE)) {
        bool carries_text = left.message == WM_APP_TOKEN || left.message == WM_APP_STATUS ||
                            left.message == WM_APP_ERROR;
        if (carries_text) FreePayload(left.lParam);
    }
}

void HandlePageMessage(AppState& state, const std::u16string& json) {
    std::u16string type = JsonGetString(json, u"type");
    if (type == u"send") {
        std::u16string text = JsonGetString(json, u"text");
        if (text.empty() || !state.model_loaded || state.generating) return;
        state.reply.clear();
        StartGeneration(state, WideToUtf8(text), kUserTurn);
    } else if (type == u"stop") {
        if (!state.generating) return;
        state.stop_requested.exchange(true);
        PostToPage(state, u"{\"type\":\"status\",\"state\":\"\",\"text\":\"Stopping\u2026\"}");
    } else if (type == u"new_chat") {
        if (state.generating || ModelLoaderRunning(state)) return;
        state.history->messages.clear();
        state.reply.clear();
        ResetEngine(state.engine.get());
        PostToPage(state, u"{\"type\":\"new_chat\"}");
        GenerateGreeting(state);
    } else if (type == u"clienterror") {
        WriteClientErrorRecord(json);
    }
}

HRESULT OnWebMessageReceived(AppState& state, ICoreWebView2WebMessageReceivedEventArgs* args) {
    LPWSTR received = nullptr;
    args->get_WebMessageAsJson(&received);
    if (received == nullptr) return S_OK;
    std::u16string json = received;
    CoTaskMemFree(received);
    HandlePageMessage(state, json);
    return S_OK;
}

std::u16string ClientErrorRecord(const std::u16string& json) {
    return u"[clienterror] where=" + JsonGetString(json, u"where") + u"\r\n" +
           JsonGetString(json, u"text") + u"\r\n--- raw (truncated) ---\r\n" +
           JsonGetString(json, u"raw") + u"\r\n========================================\r\n";
}
