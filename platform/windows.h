// The Win32 subset Velkin calls, declared for Linux: types, constants with
// their Windows values, and the functions the platform layer provides on
// GTK 3. UI calls run on the UI thread (the thread that runs WinMain) unless
// a comment says otherwise.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// --- calling conventions: meaningless on x86-64 Linux ---
#define WINAPI
#define CALLBACK
#define APIENTRY
#define STDMETHODCALLTYPE

// --- basic types (LONG and DWORD are 32-bit, as on Windows) ---
typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef int32_t HRESULT;
typedef uint16_t ATOM;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;

// Handles are pointers to records the layer owns; the program never looks inside.
struct PlatformWindow;
struct PlatformModule;
struct PlatformIcon;
struct PlatformCursor;
struct PlatformBrush;
struct PlatformMenu;
typedef PlatformWindow* HWND;
typedef PlatformModule* HINSTANCE;
typedef PlatformModule* HMODULE;
typedef PlatformIcon* HICON;
typedef PlatformCursor* HCURSOR;
typedef PlatformBrush* HBRUSH;
typedef PlatformMenu* HMENU;
typedef void* HGDIOBJ;
typedef intptr_t (*FARPROC)();

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

#ifndef TRUE  // GLib defines them too, with the same values
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260

#define LOWORD(value) ((WORD)(((ULONG_PTR)(value)) & 0xffff))
#define HIWORD(value) ((WORD)((((ULONG_PTR)(value)) >> 16) & 0xffff))
#define MAKEINTRESOURCEW(id) ((LPWSTR)(ULONG_PTR)(WORD)(id))
#define IS_INTRESOURCE(name) ((((ULONG_PTR)(name)) >> 16) == 0)

// --- records ---
struct POINT {
    LONG x = 0;
    LONG y = 0;
};

struct RECT {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;
    LONG bottom = 0;
};
typedef RECT* LPRECT;

struct MSG {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD time = 0;
    POINT pt;
};
typedef MSG* LPMSG;

struct WNDCLASSEXW {
    UINT cbSize = 0;
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;
    HINSTANCE hInstance = nullptr;
    HICON hIcon = nullptr;
    HCURSOR hCursor = nullptr;
    HBRUSH hbrBackground = nullptr;
    LPCWSTR lpszMenuName = nullptr;
    LPCWSTR lpszClassName = nullptr;
    HICON hIconSm = nullptr;
};

struct CREATESTRUCTW {
    LPVOID lpCreateParams = nullptr;
    HINSTANCE hInstance = nullptr;
    HMENU hMenu = nullptr;
    HWND hwndParent = nullptr;
    int cy = 0;
    int cx = 0;
    int y = 0;
    int x = 0;
    LONG style = 0;
    LPCWSTR lpszName = nullptr;
    LPCWSTR lpszClass = nullptr;
    DWORD dwExStyle = 0;
};
typedef CREATESTRUCTW* LPCREATESTRUCTW;

struct SECURITY_ATTRIBUTES {
    DWORD nLength = 0;
    LPVOID lpSecurityDescriptor = nullptr;
    BOOL bInheritHandle = FALSE;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// --- window messages ---
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SIZE 0x0005
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_NCCREATE 0x0081
#define WM_DPICHANGED 0x02E0
#define WM_USER 0x0400
#define WM_APP 0x8000

#define SIZE_RESTORED 0
#define SIZE_MINIMIZED 1
#define SIZE_MAXIMIZED 2

// --- windows and classes ---
#define GWLP_USERDATA (-21)
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)
#define CW_USEDEFAULT ((int)0x80000000)
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10

#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOACTIVATE 0x0010

// --- message boxes ---
#define MB_OK 0x00000000L
#define MB_ICONERROR 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONINFORMATION 0x00000040L
#define IDOK 1

// --- icons, cursors, brushes, metrics ---
#define IMAGE_ICON 1
#define LR_DEFAULTCOLOR 0x00000000
#define LR_DEFAULTSIZE 0x00000040
#define LR_SHARED 0x00008000
#define IDI_APPLICATION MAKEINTRESOURCEW(32512)
#define IDC_ARROW MAKEINTRESOURCEW(32512)
#define WHITE_BRUSH 0
#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXSMICON 49
#define SM_CYSMICON 50

// --- DPI awareness and window corners (optional calls found by name) ---
struct PlatformDpiAwarenessContext;
typedef PlatformDpiAwarenessContext* DPI_AWARENESS_CONTEXT;
#define DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 ((DPI_AWARENESS_CONTEXT)(LONG_PTR)-4)
#define DWMWA_WINDOW_CORNER_PREFERENCE 33
#define DWMWCP_ROUND 2

// --- threads, waits, files, text ---
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define CP_UTF8 65001

// --- COM ---
#define COINIT_APARTMENTTHREADED 0x2
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// The program's entry point, written by the program. velkin_platform_entry
// supplies main(), which calls it with the module handle, no previous
// instance, the command line and SW_SHOWDEFAULT.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);

// --- window classes and windows (UI thread) ---
// RegisterClassExW: returns 0 when the record is incomplete or the class name is taken.
ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* window_class);
BOOL WINAPI UnregisterClassW(LPCWSTR class_name, HINSTANCE instance);
// CreateWindowExW: sends WM_NCCREATE (lpCreateParams = param) and WM_CREATE
// before returning. A parent of HWND_MESSAGE makes a message-only window,
// which needs no display. Returns null when the class is unknown, the display
// cannot be opened, or WM_NCCREATE returns FALSE / WM_CREATE returns -1.
HWND WINAPI CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param);
// DestroyWindow: sends WM_DESTROY, then the handle is dead; messages still
// queued for it are discarded (their lParam is not freed by the layer).
BOOL WINAPI DestroyWindow(HWND window);
LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LONG_PTR WINAPI SetWindowLongPtrW(HWND window, int index, LONG_PTR value);
LONG_PTR WINAPI GetWindowLongPtrW(HWND window, int index);
BOOL WINAPI ShowWindow(HWND window, int show);
BOOL WINAPI UpdateWindow(HWND window);
BOOL WINAPI GetClientRect(HWND window, LPRECT rect);
BOOL WINAPI SetWindowPos(HWND window, HWND insert_after, int x, int y, int width, int height,
                         UINT flags);
// IsWindow: any thread; true while the handle names a live window.
BOOL WINAPI IsWindow(HWND window);

// --- the message queue ---
// PostMessageW: any thread; never blocks. Returns FALSE (and queues nothing)
// when the window is not alive. Messages are dispatched in post order.
BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// GetMessageW: UI thread; runs the GTK main loop while waiting. Returns 0 on
// WM_QUIT, -1 on a bad filter window, otherwise nonzero.
BOOL WINAPI GetMessageW(LPMSG message, HWND filter, UINT filter_min, UINT filter_max);
BOOL WINAPI TranslateMessage(const MSG* message);
LRESULT WINAPI DispatchMessageW(const MSG* message);
// PeekMessageW: UI thread; never waits and never runs the GTK loop. With
// PM_REMOVE takes the first queued message that matches the filters (the
// quit message only when the range holds WM_QUIT); TRUE when one was found.
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
BOOL WINAPI PeekMessageW(LPMSG message, HWND filter, UINT filter_min, UINT filter_max, UINT remove);
void WINAPI PostQuitMessage(int exit_code);

// --- dialogs, icons, shell ---
// MessageBoxW: modal; without a display the text goes to stderr. Returns IDOK.
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
// LoadImageW: IMAGE_ICON from the program's icon table (icon_resources.h);
// cx/cy 0 with LR_DEFAULTSIZE means the large-icon size. Null when unknown.
HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags);
HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name);
HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name);
HGDIOBJ WINAPI GetStockObject(int object);
int WINAPI GetSystemMetrics(int index);
// ShellExecuteW: "open" hands the address to the desktop's default handler.
// Returns a value greater than 32 on success, as on Windows.
HINSTANCE WINAPI ShellExecuteW(HWND owner, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters,
                               LPCWSTR directory, INT show);

// --- modules: there are no Windows DLLs here, so LoadLibraryW returns null ---
HMODULE WINAPI GetModuleHandleW(LPCWSTR module_name);
HMODULE WINAPI LoadLibraryW(LPCWSTR file_name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR proc_name);
BOOL WINAPI FreeLibrary(HMODULE module);
// GetModuleFileNameW: any thread. The executable's real path with '/'
// separators. Returns the length written without the NUL; when the buffer is
// too small, the path is cut to size - 1 units, NUL-terminated, and size is
// returned. 0 on failure.
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);

// --- COM ---
HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD co_init);
void WINAPI CoUninitialize();
LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
void WINAPI CoTaskMemFree(LPVOID block);

// --- threads (any thread) ---
// CreateThread: runs routine(parameter) on a new thread at once, with a stack of
// stack_size bytes (0, or less than the system allows: the default). The only flag is
// STACK_SIZE_PARAM_IS_A_RESERVATION: here, as on Windows with it, stack pages
// take memory only once used. The handle refers to the thread's completion;
// CloseHandle drops only the handle. Null when the thread or its stack cannot be had.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                           LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id);
// WaitForSingleObject: WAIT_OBJECT_0 once the routine has returned,
// WAIT_TIMEOUT after milliseconds, WAIT_FAILED on a bad handle.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);

// --- files (any thread) ---
// GetFileAttributesW: FILE_ATTRIBUTE_DIRECTORY for a folder,
// FILE_ATTRIBUTE_NORMAL for anything else that exists, else INVALID_FILE_ATTRIBUTES.
DWORD WINAPI GetFileAttributesW(LPCWSTR file_name);
// _wfopen: fopen with UTF-16 path and mode. Without 'b' in the mode the file
// is in text mode: every "\n" written reaches the file as "\r\n", and reading
// turns "\r\n" into "\n".
FILE* _wfopen(const WCHAR* file_name, const WCHAR* mode);

// --- text conversion (any thread). Only CP_UTF8 is supported, with flags 0
// (or MB_ERR_INVALID_CHARS for MultiByteToWideChar). ---
// Count arguments of -1 mean NUL-terminated input, the NUL counted. With an
// output size of 0 the required size is returned; otherwise the number of
// units written, or 0 when the output is too small. Malformed UTF-8 becomes
// U+FFFD, or with MB_ERR_INVALID_CHARS makes the call fail (0); lone
// surrogates become U+FFFD in UTF-8 output.
#define MB_ERR_INVALID_CHARS 0x00000008
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte, int n_multi_byte,
                               LPWSTR wide, int n_wide);
int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int n_wide,
                               LPSTR multi_byte, int n_multi_byte, LPCSTR default_char,
                               BOOL* used_default_char);
