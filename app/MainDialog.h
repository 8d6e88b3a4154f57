#pragma once

#include <memory>
#include <string>

#include <QDialog>
#include <QString>

#include "app/ControlId.h"
#include "app/DialogPrompts.h"
#include "jobs/JobFrontEnd.h"
#include "jobs/JobState.h"
#include "jobs/Jobs.h"
#include "jobs/Platform.h"

class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class QWidget;

namespace morvex {

// The program's only window: file, algorithm and passphrase in, a job's progress out. It is the
// job engine's front end and owns the one JobState the engine works on.
class MainDialog final : public QDialog, public JobFrontEnd {
    Q_OBJECT

public:
    static constexpr int kExitStatus = 1;   // the Exit button
    static constexpr int kCloseStatus = 0;  // the window closed while idle
    static constexpr int kPassphraseLimit = 55;
    static constexpr int kPathLimit = 250;
    static constexpr int kTimerPeriodMs = 500;

    // Null prompts or platform mean the real ones: message boxes, the file dialog, the native files.
    explicit MainDialog(DialogPrompts* prompts = nullptr, Platform* platform = nullptr);
    ~MainDialog() override;

    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    [[nodiscard]] const JobState& State() const { return jobState; }

    // Takes a file the user chose (picker or drop), refusing paths longer than kPathLimit.
    void ChoosePath(const QString& path);

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override;
    void SetControlsWorking(bool working) override;
    void SetProgress(int percent) override;

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

    void OnFirstFieldChanged();
    void OnSecondFieldChanged();
    void OnPickFile();
    void OnChooseTripleDes();
    void OnChooseIdea();
    void OnExplainQuality();
    void OnShowWarning();
    void OnCancel();
    void OnExit();
    void OnEncrypt();
    void OnDecrypt();
    void OnTimer();

    void Prompt(const QString& text, const QString& title, MessageIcon icon = MessageIcon::Information);

    std::unique_ptr<DialogPrompts> ownPrompts;
    DialogPrompts* prompts;
    Platform* platform;
    JobOptions jobOptions;
    JobState jobState;

    QPushButton* pickFileButton = nullptr;
    QRadioButton* tripleDesRadio = nullptr;
    QRadioButton* ideaRadio = nullptr;
    QLineEdit* passphraseField = nullptr;
    QLineEdit* retypeField = nullptr;
    QPushButton* encryptButton = nullptr;
    QPushButton* decryptButton = nullptr;
    QPushButton* warningButton = nullptr;
    QPushButton* qualityHelpButton = nullptr;
    QPushButton* exitButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QProgressBar* qualityMeter = nullptr;
    QProgressBar* progressBar = nullptr;
    QTimer* finishTimer = nullptr;
};

}  // namespace morvex
