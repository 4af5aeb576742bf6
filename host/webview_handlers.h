// The four COM handler objects the host gives the web view: each holds what
// it captured and calls one host function from its Invoke. Each is made with
// a count of 1 for its maker, who releases it once the runtime has it.
#pragma once

#include "app_state.h"

ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* NewEnvironmentCompletedHandler(
    AppState* state, HWND window);
ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* NewControllerCompletedHandler(AppState* state);
ICoreWebView2WebMessageReceivedEventHandler* NewWebMessageReceivedHandler(AppState* state);
ICoreWebView2NavigationStartingEventHandler* NewNavigationStartingHandler();
