// The bridge between the engine's workers, the host state and the chat page:
// worker messages become page messages, page messages become engine actions.
// Everything here runs on the UI thread.
#pragma once

#include <string>

#include "app_state.h"

// Posts one JSON message to the page now, or queues a copy while the page
// navigation has not started (or the view is gone). Can't fail.
void PostToPage(AppState& state, const std::u16string& json);

// Starts the hidden "Hello!" turn and its reply of at most 120 tokens. A
// thread that cannot start is reported to the page as an error.
void GenerateGreeting(AppState& state);

// The five worker messages. Each frees its payload (lparam) when it has one.
// WM_APP_GEN_DONE and WM_APP_ERROR store the streamed reply, when there is one,
// as the assistant turn in the form the page shows it.
void OnTokenMessage(AppState& state, LPARAM payload);
void OnStatusMessage(AppState& state, LPARAM payload);
void OnLoadDoneMessage(AppState& state);
void OnGenDoneMessage(AppState& state);
void OnErrorMessage(AppState& state, LPARAM payload);

// Routes WM_APP_TOKEN to WM_APP_ERROR to the handler above; false for any
// other message (which is left alone).
bool HandleWorkerMessage(AppState& state, UINT message, LPARAM payload);

// Takes the workers' messages still queued for `window` and frees the texts
// they carry, for a window about to be destroyed: those would never arrive.
void DiscardWorkerMessages(HWND window);

// Acts on one JSON message from the page ("send", "stop", "new_chat",
// "clienterror"). A refused or unknown message gets no answer.
void HandlePageMessage(AppState& state, const std::u16string& json);

// The web-message event: reads the JSON text and hands it to
// HandlePageMessage. Always S_OK.
HRESULT OnWebMessageReceived(AppState& state, ICoreWebView2WebMessageReceivedEventArgs* args);

// The jsdebug.log record for a "clienterror" message: where, text and raw,
// framed by CR LF lines. Pure.
std::u16string ClientErrorRecord(const std::u16string& json);
