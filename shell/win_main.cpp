// win_main.cpp -- the Windows entry point of the stub.
#include <windows.h>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "platform/platform.h"
#include "shell/disclaimer_gate.h"

namespace {
char module_path[PATH_CAPACITY];
}

// Until the run sequence with its progress window exists, the stub asks the gate and then
// extracts everything into the temporary directory; the exit code is the gate's answer.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    GetModuleFileNameA(instance, module_path, PATH_CAPACITY);
    int answer = show_disclaimer(module_path);
    if (answer != 1) return answer;
    GetTempPathA(PATH_CAPACITY, temp_dir);
    extract_archive(module_path);
    return answer;
}
