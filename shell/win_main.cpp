// win_main.cpp -- the Windows entry point of the stub.
#include <windows.h>

#include "shell/run_installer.h"

namespace {

// Installers are run from download folders, where a planted DLL named like a system one
// would be loaded first: before anything else, limit the DLL search to the system folder.
// SetDefaultDllDirectories is missing on unpatched older systems; there the current folder
// at least leaves the search.
void restrict_library_search() {
    using SetDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto set_directories = reinterpret_cast<SetDirectoriesFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_directories != nullptr)
        set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    else
        SetDllDirectoryA("");
}

}  // namespace

// The command line and the show command are not used: the window always shows normally.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    restrict_library_search();
    return run_installer(instance);
}
