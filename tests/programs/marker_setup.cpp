// marker_setup.cpp -- a stand-in setup program for the Wine tests: proves that it was opened.
//
// Writes "setup-ran.txt" beside itself, holding its own path and its command line, then ends.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH + 32] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    char marker[MAX_PATH + 32];
    lstrcpyA(marker, path);
    char* slash = marker;
    for (char* c = marker; *c != '\0'; ++c)
        if (*c == '\\' || *c == '/') slash = c + 1;
    lstrcpyA(slash, "setup-ran.txt");
    HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    WriteFile(file, path, static_cast<DWORD>(lstrlenA(path)), &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
    const char* command_line = GetCommandLineA();
    WriteFile(file, command_line, static_cast<DWORD>(lstrlenA(command_line)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
