// The open velkin.log, shared by the loader (which opens it once, before it
// installs the log callback) and the callback. Never closed: it lives until the
// process ends.
#pragma once

#include <atomic>
#include <cstdio>

extern std::atomic<FILE*> log_file;
