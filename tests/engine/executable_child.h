// Running a copy of the test program from a folder of its own, so that
// "beside the executable" means a folder this test alone uses.
#pragma once

#include <string>
#include <vector>

#include "engine_test_support.h"

constexpr char kChildPrintFolder[] = "--print-executable-folder";  // prints ExecutableFolder() in UTF-8
constexpr char kChildLoad[] = "--load-beside-executable";          // [address-space bytes to spare]
constexpr char kChildAssert[] = "--assert-after-loading";            // loads, then trips a library assertion

// Copies this test program into `folder` (a real copy: the layer reads /proc/self/exe).
std::string CopyTestProgram(const std::filesystem::path& folder);

struct ChildResult {
    int exit_code = -1;  // -1 when a signal ended it
    int signal = 0;      // the signal that ended it, or 0
    std::string output;  // standard output
};
ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments);
