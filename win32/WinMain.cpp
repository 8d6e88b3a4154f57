#include <windows.h>

#include "win32/Win32MainDialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    morvex::InitDialogControls();
    int status = 0;
    {
        morvex::Win32MainDialog dialog(morvex::NativePlatform());
        status = dialog.Run(instance);
    }
    ExitProcess(static_cast<UINT>(status));
}
