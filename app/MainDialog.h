#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include <QDialog>
#include <QPointer>
#include <QString>

#include "app/DialogPrompts.h"
#include "dialog/ControlTable.h"
#include "dialog/DialogView.h"
#include "dialog/MainDialogLogic.h"
#include "jobs/Platform.h"

class QLineEdit;
class QProgressBar;
class QTimer;
class QWidget;

namespace morvex {

// Each control keeps its numeric identifier under this property, so tests and tools can tell them
// apart by number as well as by name.
inline constexpr const char* kControlIdProperty = "controlId";

// The program's only window under Qt: a thin view that builds its widgets from the control table
// and hands every event to the dialog's rules.
class MainDialog final : public QDialog, public DialogView {
    Q_OBJECT

public:
    // Null prompts or platform mean the real ones: message boxes, the file dialog, the native files.
    explicit MainDialog(DialogPrompts* prompts = nullptr, Platform* platform = nullptr);
    ~MainDialog() override;

    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    [[nodiscard]] const JobState& State() const { return logic->State(); }

    // Takes a file the user chose (picker, drop or command line), as the picker would.
    void ChoosePath(const QString& path);

    [[nodiscard]] QWidget* Control(ControlId id) const;

    void SetWorking(bool working) override;
    void SetQuality(int percent) override;
    void SetProgress(int percent) override;
    void ShowMessage(const MessageText& message) override;
    [[nodiscard]] std::optional<std::string> ChooseFile() override;
    void EndDialog(int status) override;

    // The dialog's own commands: Escape cancels a job instead of closing the window, and nothing
    // ends the dialog as "accepted".
    void reject() override;
    void accept() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    void FieldChanged(bool first);

    std::unique_ptr<DialogPrompts> ownPrompts;
    DialogPrompts* prompts;
    std::map<ControlId, QWidget*> controls;
    QLineEdit* passphraseField = nullptr;
    QLineEdit* retypeField = nullptr;
    QProgressBar* qualityMeter = nullptr;
    QProgressBar* progressBar = nullptr;
    QTimer* finishTimer = nullptr;
    bool ending = false;  // the rules have ended the dialog
    QPointer<QWidget> focusBeforeJob;  // where the focus goes back when the job has been reported
    std::unique_ptr<MainDialogLogic> logic;  // last: torn down first, while the widgets still exist
};

}  // namespace morvex
