#pragma once

#include <optional>

#include <QString>

#include "dialog/Texts.h"

namespace morvex {

// Every message box and the file picker of the dialog pass through here, so that a test can record
// the boxes and answer the picker without a modal loop.
class DialogPrompts {
public:
    virtual ~DialogPrompts() = default;

    // A modal box with one OK button; returns once the user has closed it.
    virtual void ShowMessage(const MessageText& message) = 0;

    // The file-open dialog over all files; nothing if the user cancelled it.
    [[nodiscard]] virtual std::optional<QString> ChooseFile() = 0;
};

}  // namespace morvex
