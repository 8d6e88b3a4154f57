#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <windows.h>

#include "dialog/DialogView.h"
#include "dialog/MainDialogLogic.h"
#include "jobs/Platform.h"

namespace morvex {

// The program's only window on Windows: dialog template 102, a thin view that forwards every event
// to the dialog's rules.
class Win32MainDialog final : public DialogView {
public:
    // A full path in UTF-8, or nothing when cancelled. Empty means the system's file-open dialog.
    using FileChooser = std::function<std::optional<std::string>()>;

    explicit Win32MainDialog(Platform& platform, FileChooser chooser = {});
    ~Win32MainDialog() override;
    Win32MainDialog(const Win32MainDialog&) = delete;
    Win32MainDialog& operator=(const Win32MainDialog&) = delete;

    // Creates the dialog from its template and runs it until the rules end it; returns their status.
    [[nodiscard]] int Run(HINSTANCE instance);

    void SetWorking(bool working) override;
    void SetQuality(int percent) override;
    void SetProgress(int percent) override;
    void ShowMessage(const MessageText& message) override;
    [[nodiscard]] std::optional<std::string> ChooseFile() override;
    void EndDialog(int status) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Command(int id, int notification);
    void FieldChanged(bool first);
    void Paint();

    Platform& platform_;
    FileChooser chooser_;
    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    int status_ = MainDialogLogic::kCloseStatus;
    bool ended_ = false;
    std::unique_ptr<MainDialogLogic> logic_;
};

// The three-dimensional look (common controls 6) for the dialog's controls and its progress bars.
void InitDialogControls();

}  // namespace morvex
