// The COM-style basics: apartments are bookkeeping only (every web view call
// already runs on the UI thread), and task memory is the C heap.
#include <stdlib.h>

#include "windows.h"

namespace {
thread_local int t_apartment_depth = 0;
}

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD co_init) {
    if (reserved != nullptr || co_init != COINIT_APARTMENTTHREADED) return E_INVALIDARG;
    return t_apartment_depth++ == 0 ? S_OK : S_FALSE;
}

void WINAPI CoUninitialize() {
    if (t_apartment_depth > 0) t_apartment_depth--;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return malloc(size); }

void WINAPI CoTaskMemFree(LPVOID block) { free(block); }
