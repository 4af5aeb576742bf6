// Writes bytes as a C++ source file that defines them as a constant array,
// so a build can embed a generated file in the program.
#pragma once

#include <string>
#include <vector>

// Defines `const unsigned char <name>[]` and `const size_t <name>Size` at
// namespace scope with external linkage. Returns false if the file cannot be
// written.
bool WriteByteArraySource(const std::string& path, const std::string& name,
                          const std::vector<unsigned char>& bytes);
