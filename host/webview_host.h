// Puts the chat page into the main window: the web view environment,
// controller and view, their settings, the folder mapping, the page itself and
// the navigation rule. UI thread only; completions arrive through the loop.
#pragma once

#include "app_state.h"

// Starts the environment creation for `window`. When it cannot start, shows
// a message box (after which the program runs on without a page).
void StartWebView(AppState& state, HWND window);

// Completion of the environment creation: asks for the controller.
HRESULT OnEnvironmentCreated(AppState& state, HWND window, HRESULT error_code,
                             ICoreWebView2Environment* environment);

// Completion of the controller creation: configures the view, shows the
// page and posts the page messages that waited for it.
HRESULT OnControllerCreated(AppState& state, HRESULT error_code, ICoreWebView2Controller* controller);

// The navigation rule: web addresses outside the page's host are cancelled
// and handed to the default browser. Always S_OK.
HRESULT OnNavigationStarting(ICoreWebView2NavigationStartingEventArgs* args);
