// The process entry: hands over to the program's WinMain on the UI thread.
#include <string>

#include "openmp_wait.h"
#include "windows.h"

int main(int argc, char** argv) {
    RestartWithProgramOpenMpWait(argv);  // replaces the process, or returns at once
    std::string command_line;
    for (int i = 1; i < argc; i++) {
        if (i > 1) command_line += ' ';
        command_line += argv[i];
    }
    return WinMain(GetModuleHandleW(nullptr), nullptr, &command_line[0], SW_SHOWDEFAULT);
}
