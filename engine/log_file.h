// The open velkin.log, shared by the loader (which opens it once, before it
// installs the log callback) and the callback. Never closed: it lives until the
// process ends.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

extern std::atomic<FILE*> log_file;

// Writes `line` and a line break to velkin.log, flushed; dropped when the file is
// not open. Any thread.
void LogLine(const std::string& line);

// Abort callback for ggml_set_abort_callback: writes the library's message to
// velkin.log and to standard error before the process ends. Any thread.
void LogAbortMessage(const char* message);
