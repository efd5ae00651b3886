// win32_platform.cpp -- the platform services on the narrow Win32 API, for the stub.
#ifdef _WIN32

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdarg>

#include "platform/platform.h"

namespace {

// Descriptors are small indexes into this table, starting at 1: the stub holds at most
// the archive and one output file open at a time.
constexpr int MAX_OPEN_FILES = 8;
HANDLE open_files[MAX_OPEN_FILES + 1];

int remember_handle(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return -1;
    for (int fd = 1; fd <= MAX_OPEN_FILES; ++fd) {
        if (open_files[fd] == nullptr) {
            open_files[fd] = handle;
            return fd;
        }
    }
    CloseHandle(handle);
    return -1;
}

HANDLE handle_of(int fd) {
    if (fd < 1 || fd > MAX_OPEN_FILES) return nullptr;
    return open_files[fd];
}

// The one message slot of the final loop, and the core's dialog procedure behind the
// trampoline that Windows calls.
MSG taken_message;
DialogProcedure dialog_procedure;

INT_PTR CALLBACK dialog_trampoline(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (dialog_procedure == nullptr) return FALSE;
    return dialog_procedure(window, message, wparam, lparam);
}

// comctl32 and shell32 are loaded only when needed, after the library search was limited
// to the system folder, so a DLL planted beside the package is never picked up by them.
FARPROC system_function(const char* library, const char* name) {
    HMODULE module = LoadLibraryA(library);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

}  // namespace

// ---- File operations ----

int file_stat(const char* path, uint32_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    *size = data.nFileSizeLow;
    return 0;
}

int file_open_read(const char* path) {
    return remember_handle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int file_create(const char* path) {
    return remember_handle(
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int file_read(int fd, void* buffer, uint32_t count) {
    HANDLE handle = handle_of(fd);
    if (handle == nullptr) return -1;
    if (count == 0) return 0;
    DWORD got = 0;
    if (!ReadFile(handle, buffer, count, &got, nullptr)) return -1;
    return static_cast<int>(got);
}

int file_write(int fd, const void* buffer, uint32_t count) {
    HANDLE handle = handle_of(fd);
    if (handle == nullptr) return -1;
    if (count == 0) return 0;
    DWORD put = 0;
    if (!WriteFile(handle, buffer, count, &put, nullptr)) return -1;
    return static_cast<int>(put);
}

int64_t file_seek(int fd, int64_t offset, int origin) {
    HANDLE handle = handle_of(fd);
    if (handle == nullptr) return -1;
    LARGE_INTEGER distance;
    LARGE_INTEGER position;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(handle, distance, &position, origin == SEEK_FROM_START ? FILE_BEGIN : FILE_CURRENT))
        return -1;
    return position.QuadPart;
}

int64_t file_tell(int fd) { return file_seek(fd, 0, SEEK_FROM_CURRENT); }

void file_close(int fd) {
    HANDLE handle = handle_of(fd);
    if (handle == nullptr) return;
    CloseHandle(handle);
    open_files[fd] = nullptr;
}

// ---- Boxes and windows ----

int show_message_box(WindowHandle owner, const char* text, const char* caption, unsigned flags) {
    return MessageBoxA(static_cast<HWND>(owner), text, caption, flags);
}

void set_progress_position(WindowHandle progress_bar, unsigned percent) {
    SendMessageA(static_cast<HWND>(progress_bar), PBM_SETPOS, percent, 0);
}

void repaint_window(WindowHandle window) { UpdateWindow(static_cast<HWND>(window)); }

// ---- Text ----

int format_text(char* buffer, int capacity, const char* format, ...) {
    if (capacity <= 0) return 0;
    // wvsprintfA writes at most 1024 characters; format there, then copy what fits.
    char scratch[1025];
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(scratch, format, args);
    va_end(args);
    if (n < 0) n = 0;
    if (n > capacity - 1) n = capacity - 1;
    for (int i = 0; i < n; ++i) buffer[i] = scratch[i];
    buffer[n] = '\0';
    return n;
}

void oem_to_ansi(char* text, int /*capacity: the conversion keeps the length*/) { OemToCharA(text, text); }

int compare_nocase(const char* a, const char* b) { return lstrcmpiA(a, b); }

// ---- Paths and file system ----

void create_directory(const char* path) { CreateDirectoryA(path, nullptr); }

void set_file_attributes(const char* path, uint32_t attributes) { SetFileAttributesA(path, attributes); }

void delete_file(const char* path) { DeleteFileA(path); }

void set_file_dos_time(const char* path, uint16_t dos_date, uint16_t dos_time) {
    FILETIME local = {};
    FILETIME utc = {};
    DosDateTimeToFileTime(dos_date, dos_time, &local);
    LocalFileTimeToFileTime(&local, &utc);
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    SetFileTime(handle, &utc, &utc, &utc);
    CloseHandle(handle);
}

// ---- Run sequence ----

int fetch_module_path(InstanceHandle instance, char* path, int capacity) {
    return static_cast<int>(GetModuleFileNameA(static_cast<HMODULE>(instance), path, static_cast<DWORD>(capacity)));
}

int fetch_temp_path(char* path, int capacity) {
    return static_cast<int>(GetTempPathA(static_cast<DWORD>(capacity), path));
}

void register_progress_class() {
    using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<InitFunction>(
        reinterpret_cast<void (*)()>(system_function("comctl32.dll", "InitCommonControlsEx")));
    if (init == nullptr) return;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    init(&controls);
}

WindowHandle create_dialog(InstanceHandle instance, int template_id, DialogProcedure procedure) {
    dialog_procedure = procedure;
    return CreateDialogParamA(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEA(template_id), nullptr,
                              dialog_trampoline, 0);
}

void show_window(WindowHandle window) { ShowWindow(static_cast<HWND>(window), SW_SHOWNORMAL); }

WindowHandle dialog_item(WindowHandle dialog, int id) { return GetDlgItem(static_cast<HWND>(dialog), id); }

void destroy_window(WindowHandle window) {
    if (window != nullptr) DestroyWindow(static_cast<HWND>(window));
}

void post_quit_message(int exit_code) { PostQuitMessage(exit_code); }

int take_message(uintptr_t* exit_code) {
    BOOL taken = GetMessageA(&taken_message, nullptr, 0, 0);
    if (taken == 0) *exit_code = taken_message.wParam;
    return taken;
}

void dispatch_taken_message() {
    TranslateMessage(&taken_message);
    DispatchMessageA(&taken_message);
}

void open_with_shell(const char* verb, const char* path) {
    using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    auto shell_execute = reinterpret_cast<ShellExecuteFunction>(
        reinterpret_cast<void (*)()>(system_function("shell32.dll", "ShellExecuteA")));
    if (shell_execute != nullptr) shell_execute(nullptr, verb, path, nullptr, nullptr, SW_SHOWNORMAL);
}

#endif  // _WIN32
