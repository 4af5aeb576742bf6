// Checks of a GGUF file's header values that would end the process while the
// library reads a model's hyper-parameters or builds its tensors and graph: its
// assertions, and divisions by zero. Loader thread.
#pragma once

#include <string>

// The first header value of the file at `path` (UTF-8) that the library would
// assert on or divide by as zero, as a sentence naming the key and the value;
// empty when none is found, also when gguf cannot read the file (the library
// then reports that itself).
std::string FindBadHeaderValue(const std::string& path);
