#pragma once

namespace morvex::test {

// Runs the real morvex binary on a private X server, ends it from outside by pressing Exit or by the
// window manager's close request, and checks the process's exit status (skipped where Xvfb, xdotool or
// the X client library is missing).
void CheckProcessExitStatus(bool pressExit, int status);

}  // namespace morvex::test
