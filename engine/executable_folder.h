// The folder of the running program, where model.gguf, velkin.log and the page's
// assets live. Any thread.
#pragma once

#include <string>

#include "windows.h"

// The executable's full path cut right after its last separator ('\\' or '/'),
// which stays; a path without one stays whole. Paths longer than MAX_PATH are
// read whole with a larger buffer rather than cut. Empty when the system cannot
// name the executable.
std::basic_string<WCHAR> ExecutableFolder();
