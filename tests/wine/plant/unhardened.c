/* unhardened.c -- the control: a GUI program that uses the common controls and the shell the
 * usual way, with static imports and the default DLL search, as many installers do. */
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    /* A file that is not there: the shell is asked, and nothing opens. */
    ShellExecuteA(NULL, "open", "C:\\no-such-file-here.txt", NULL, NULL, SW_SHOWNORMAL);
    return 0;
}
