/* planted_library.c -- a DLL planted beside a program under a system DLL's name: when it is
 * loaded it leaves "<its own path>.loaded" holding the path of the program that loaded it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char marker[MAX_PATH + 16];
    DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyA(marker + length, ".loaded");
    char program[MAX_PATH];
    DWORD program_length = GetModuleFileNameA(NULL, program, MAX_PATH);
    HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, program, program_length, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
