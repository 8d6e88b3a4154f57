#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "dialog/DialogView.h"
#include "jobs/JobState.h"
#include "jobs/Jobs.h"
#include "jobs/Platform.h"

namespace morvex {

// Every rule of the main dialog that is not drawing: a window forwards its events here and this
// drives the window through its DialogView. It owns the one JobState the engine works on.
class MainDialogLogic {
public:
    static constexpr int kExitStatus = 1;   // the Exit button
    static constexpr int kCloseStatus = 0;  // the window closed while idle
    static constexpr std::size_t kPathLimit = 250;
    static constexpr int kTimerPeriodMs = 500;

    MainDialogLogic(DialogView& view, Platform& platform, JobOptions options = {});
    // A window torn down around a running job cancels it, waits for its end and deletes its
    // unfinished output; the passphrase texts are wiped.
    ~MainDialogLogic();
    MainDialogLogic(const MainDialogLogic&) = delete;
    MainDialogLogic& operator=(const MainDialogLogic&) = delete;

    [[nodiscard]] const JobState& State() const noexcept { return state_; }

    // Both fields' texts as UTF-8, on every change of either field; each change of the first also
    // moves the meter and may show the Limit box.
    void FirstFieldChanged(std::string_view first, std::string_view second);
    void SecondFieldChanged(std::string_view first, std::string_view second);

    void PickFile();
    // A file the user chose, by the picker or otherwise, as its full path in UTF-8.
    void ChoosePath(const std::string& fullPath);

    void ChooseTripleDes();
    void ChooseIdea();
    void ExplainQuality();
    void ShowWarning();
    void Cancel();
    void Exit();
    void Encrypt();
    void Decrypt();
    // The 500 ms timer: the completion step.
    void Tick();
    // The window's close command; ends the dialog while idle, otherwise says why it stays.
    void Close();

private:
    void Show(MessageId id);
    void KeepTexts(std::string_view first, std::string_view second);
    void Start(bool decrypt);

    DialogView& view_;
    Platform& platform_;
    JobOptions options_;
    JobState state_;
    // The first field as the last change left it, for the limit's one-step rule.
    std::size_t firstBytes_ = 0;
    std::size_t firstCharacters_ = 0;
};

// The number of characters of a UTF-8 text as the user sees them: the bytes that start one.
[[nodiscard]] std::size_t CharacterCount(std::string_view text) noexcept;

// The text's first count characters, never splitting one.
[[nodiscard]] std::string_view FirstCharacters(std::string_view text, std::size_t count) noexcept;

}  // namespace morvex
