// Internal, for test programs: point the web context's data folder (local
// storage) at folder. Call before the first web view environment is made.
#pragma once

#include <string>

void SetWebDataFolderForTests(const std::string& folder);
