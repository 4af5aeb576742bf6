// Modules: the program is the only module. No Windows DLL exists here, so
// optional calls looked up by name are simply not found.
#include "windows.h"

struct PlatformModule {
    int unused = 0;
};

namespace {
PlatformModule g_program_module;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR module_name) {
    return module_name == nullptr ? &g_program_module : nullptr;
}

HMODULE WINAPI LoadLibraryW(LPCWSTR) { return nullptr; }

FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR) { return nullptr; }

BOOL WINAPI FreeLibrary(HMODULE module) { return module == &g_program_module ? TRUE : FALSE; }

bool IsProgramModule(HMODULE module) { return module == nullptr || module == &g_program_module; }
