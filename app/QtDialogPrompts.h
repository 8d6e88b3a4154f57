#pragma once

#include "app/DialogPrompts.h"

class QWidget;

namespace morvex {

// The real boxes: QMessageBox and QFileDialog, modal and owned by the given window.
class QtDialogPrompts final : public DialogPrompts {
public:
    explicit QtDialogPrompts(QWidget* ownerWindow);

    void ShowMessage(const MessageText& message) override;
    [[nodiscard]] std::optional<QString> ChooseFile() override;

private:
    QWidget* owner;
};

}  // namespace morvex
