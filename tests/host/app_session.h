// Runs the real program for a whole-app test: a folder of its own holding a
// copy of the test build of the program and its two asset files (the program
// finds everything beside its own executable), a start with the platform's
// test hook switched on, page script evaluation through the hook, and the
// exit code. Every wait is bounded and says what it waited for.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct TestHookClient;

struct AppSession {
    std::string folder;        // ends with '/'
    std::string program_name;  // the program's file name inside `folder`
    std::string hook_socket;   // the hook's socket, inside `folder`
    pid_t pid = -1;
    TestHookClient* client = nullptr;  // connected to the hook, or null
    // Set in the program's environment after the session's own variables; an
    // empty value removes the variable.
    std::vector<std::pair<std::string, std::string>> environment;
};

// Makes a fresh folder for `name` below the build tree and copies `program`
// and the page's asset files into it. False with a reason in *error.
bool PrepareAppFolder(const std::string& name, const std::string& program, AppSession* session,
                      std::string* error);

// Starts the program in its folder with the test hook on, and connects to the
// hook once it listens (at most `timeout_ms`). False with a reason in *error.
bool StartApp(AppSession* session, int timeout_ms, std::string* error);

// Starts the program in its folder with no display to open; no hook.
bool StartAppWithoutDisplay(AppSession* session, std::string* error);

// Evaluates `script` in the page; its value as JSON text in *result. False
// when the hook answered with an error or did not answer.
bool EvalInPage(AppSession* session, const std::string& script, std::string* result);

// Evaluates `condition` every 50 ms until it gives true; false after
// `timeout_ms`, with the last result of `report` (a script) in *last.
bool WaitInPage(AppSession* session, const std::string& condition, int timeout_ms,
                const std::string& report, std::string* last);

// Asks the hook for a PNG of the window at `path`.
bool SnapshotPage(AppSession* session, const std::string& path);

// The hook's description of the main window (JSON: visible, title, width,
// height) in *description. False when the hook did not answer.
bool DescribeWindow(AppSession* session, std::string* description);

// Resizes the main window's client area to width x height as the user's drag
// would. True once the hook has asked; the program hears of it soon after.
bool ResizeAppWindow(AppSession* session, int width, int height);

// Asks the program to close its window as the user would.
bool CloseApp(AppSession* session);

// The program's exit code; -1 when it had not ended after `timeout_ms` (it is
// then killed) or ended by a signal.
int WaitForExit(AppSession* session, int timeout_ms);

// Kills a program still running and disconnects. Safe to call twice.
void EndSession(AppSession* session);

// Removes the session's folder with everything in it (after EndSession).
void RemoveAppFolder(AppSession* session);

// The whole content of a file, or "" when it cannot be read.
std::string ReadFileBytes(const std::string& path);
