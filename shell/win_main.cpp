// win_main.cpp -- the Windows entry point of the stub.
#include <windows.h>

#include "platform/platform.h"
#include "shell/disclaimer_gate.h"

namespace {
char module_path[PATH_CAPACITY];
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    GetModuleFileNameA(instance, module_path, PATH_CAPACITY);
    // Until the run sequence exists the stub asks the gate alone; the exit code tells the answer.
    return show_disclaimer(module_path);
}
