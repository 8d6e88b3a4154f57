#pragma once

#include <string>

namespace morvex {

enum class MessageIcon {
    Information,
    Question,
};

// What the job engine needs of whoever drives it: the dialog, the command-line tool or a test.
// Every call comes on the front end's own thread, never on the worker's.
class JobFrontEnd {
public:
    virtual ~JobFrontEnd() = default;

    // A message with one OK button; returns once the user has closed it.
    virtual void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) = 0;

    // Working: Exit, Encrypt and Decrypt disabled, Cancel enabled. Idle: the reverse.
    virtual void SetControlsWorking(bool working) = 0;

    // The job's progress bar, 0 to 100.
    virtual void SetProgress(int percent) = 0;
};

}  // namespace morvex
