#pragma once

#include <optional>
#include <string>

#include "dialog/Texts.h"

namespace morvex {

// What the dialog's rules need of a window: the Qt one, the Win32 one, or a test's.
// Every call comes on the window's own thread.
class DialogView {
public:
    virtual ~DialogView() = default;

    // Working: Exit, Encrypt and Decrypt disabled, Cancel enabled. Idle: the reverse. Nothing
    // else ever changes state.
    virtual void SetWorking(bool working) = 0;

    // The quality meter and the job's progress bar, 0 to 100.
    virtual void SetQuality(int percent) = 0;
    virtual void SetProgress(int percent) = 0;

    // A modal box with one OK button; returns once the user has closed it.
    virtual void ShowMessage(const MessageText& message) = 0;

    // The file-open dialog over all files: the chosen file's full path, or nothing if the user
    // cancelled it.
    [[nodiscard]] virtual std::optional<std::string> ChooseFile() = 0;

    // Ends the dialog and with it the program, with this exit status.
    virtual void EndDialog(int status) = 0;
};

}  // namespace morvex
