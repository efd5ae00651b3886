// platform.h -- the operating-system services the core relies on; one backend per platform.
//
// The core (shell/, archive/, deflate/, stream/) includes this header and nothing of the
// operating system. platform/win32 implements it on the narrow Win32 API for the stub;
// platform/host implements it on POSIX for the Linux tools and tests. Both backends keep
// the operations in the order of this header.
#pragma once

#include <cstdint>

using WindowHandle = void*;    // an HWND on Windows, an opaque recorded value on the host
using InstanceHandle = void*;  // an HINSTANCE on Windows

constexpr int PATH_CAPACITY = 260;

// Origins for file_seek.
constexpr int SEEK_FROM_START = 0;
constexpr int SEEK_FROM_CURRENT = 1;

// Message box flags and answers, with the platform's own values.
constexpr unsigned BOX_OK = 0x0;
constexpr unsigned BOX_OKCANCEL = 0x1;
constexpr unsigned BOX_ICONQUESTION = 0x20;
constexpr unsigned BOX_ICONWARNING = 0x30;
constexpr unsigned BOX_SETFOREGROUND = 0x10000;
constexpr int ANSWER_NONE = 0;    // the box could not be shown
constexpr int ANSWER_OK = 1;      // IDOK
constexpr int ANSWER_CANCEL = 2;  // IDCANCEL

// Window messages and the command id the progress window handles, with the platform's values.
constexpr unsigned MESSAGE_INITDIALOG = 0x0110;  // WM_INITDIALOG
constexpr unsigned MESSAGE_COMMAND = 0x0111;     // WM_COMMAND
constexpr int COMMAND_CANCEL = 2;                // IDCANCEL

// A dialog procedure: window, message, wParam, lParam; returns the dialog's BOOL.
using DialogProcedure = int (*)(WindowHandle window, unsigned message, uintptr_t wparam, intptr_t lparam);

constexpr uint32_t ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t ATTRIBUTE_ARCHIVE = 0x20;

// ---- File operations on descriptors: -1 means failure, a descriptor is never below 1. ----

// 0 when the path exists, its size (low 32 bits) in *size; nonzero otherwise.
int file_stat(const char* path, uint32_t* size);
// An existing file for reading, others may still read and write it.
int file_open_read(const char* path);
// Read and write access; creates the file when missing and truncates an existing one, so
// that a file that survives deletion never keeps stale bytes past the new data.
int file_create(const char* path);
// The count read (fewer near the end), 0 at the end or for count 0, -1 on an error.
int file_read(int fd, void* buffer, uint32_t count);
// The count written, or -1; count 0 writes nothing and returns 0.
int file_write(int fd, const void* buffer, uint32_t count);
// The new position, or -1.
int64_t file_seek(int fd, int64_t offset, int origin);
int64_t file_tell(int fd);
void file_close(int fd);

// ---- Boxes and windows ----

// MessageBoxA: the answer, or ANSWER_NONE when the box cannot be shown.
int show_message_box(WindowHandle owner, const char* text, const char* caption, unsigned flags);
// PBM_SETPOS to the progress bar, then nothing else; the results are ignored.
void set_progress_position(WindowHandle progress_bar, unsigned percent);
// UpdateWindow: repaint at once, since no message loop runs during extraction.
void repaint_window(WindowHandle window);

// ---- Text ----

// wsprintfA-compatible formatting (%s, %X, %d); never writes more than capacity bytes,
// the result stays zero-terminated. Returns the length written.
int format_text(char* buffer, int capacity, const char* format, ...);
// OemToCharA in place: converts text from the OEM code page to the ANSI one, never
// writing past capacity bytes (the host's ANSI page is UTF-8, which may be longer).
void oem_to_ansi(char* text, int capacity);
// lstrcmpiA: 0 when equal without regard to case.
int compare_nocase(const char* a, const char* b);

// ---- Paths and file system ----

void create_directory(const char* path);                        // CreateDirectoryA
void set_file_attributes(const char* path, uint32_t attributes);  // SetFileAttributesA
void delete_file(const char* path);                             // DeleteFileA
// DosDateTimeToFileTime, LocalFileTimeToFileTime, then creation, access and write time
// set to that one UTC time; every failure is ignored.
void set_file_dos_time(const char* path, uint16_t dos_date, uint16_t dos_time);

// ---- Run sequence ----

// GetModuleFileNameA: the length written, 0 on failure, or capacity when the path was cut.
int fetch_module_path(InstanceHandle instance, char* path, int capacity);
// GetTempPathA: the length written (the path ends in a backslash), 0 on failure, or the
// capacity needed, leaving path alone, when it does not fit.
int fetch_temp_path(char* path, int capacity);
// Makes the common controls' progress-bar class available to dialog templates.
void register_progress_class();
// CreateDialogParamA: a modeless dialog from the template, no parent, initialisation value
// 0; the procedure receives MESSAGE_INITDIALOG within this call. Null on failure.
WindowHandle create_dialog(InstanceHandle instance, int template_id, DialogProcedure procedure);
void show_window(WindowHandle window);                   // ShowWindow with SW_SHOWNORMAL
WindowHandle dialog_item(WindowHandle dialog, int id);   // GetDlgItem
void destroy_window(WindowHandle window);                // DestroyWindow; nothing for a dead one
void post_quit_message(int exit_code);                   // PostQuitMessage
// GetMessageA for any window into the platform's one message slot: 0 for the quit message
// (its wParam in *exit_code), -1 on an error, anything else for a message to dispatch.
int take_message(uintptr_t* exit_code);
void dispatch_taken_message();                           // TranslateMessage, DispatchMessageA
// ShellExecuteA: no owner, the verb, the file, no parameters or folder, SW_SHOWNORMAL.
void open_with_shell(const char* verb, const char* path);
