// post_command.cpp -- sends a window the WM_COMMAND that a click on one of its buttons sends.
//
// Usage: post-command.exe TITLE ID. The Wine tests use it to deliver the progress window's
// Cancel while a failure box has disabled that window for mouse and keyboard input.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    HWND window = FindWindowA(nullptr, argv[1]);
    if (window == nullptr) return 1;
    int id = std::atoi(argv[2]);
    // BN_CLICKED is notification 0: wParam is the id alone, lParam the button's handle.
    return PostMessageA(window, WM_COMMAND, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(GetDlgItem(window, id)))
               ? 0
               : 3;
}
