#include "app/MainDialog.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>

#include "app/DialogUnits.h"
#include "app/QtDialogPrompts.h"

namespace morvex {

namespace {

const QString kTitle = QStringLiteral("morvex 1.1");

const QString kLimitText = QStringLiteral(
    "You may enter more characters to complete the passphrase, but after this limit they will not add "
    "to the key actually used by the algorithm");
const QString kLimitTitle = QStringLiteral("Limit");

const QString kPathTooLongText = QStringLiteral("The pathname is too long");
const QString kErrorTitle = QStringLiteral("Error");

const QString kWorkingText = QStringLiteral("Working - you have to wait, or press Cancel before exiting");
const QString kWorkingTitle = QStringLiteral("Working");

const QString kPickerTitle = QStringLiteral("Open file");

const QString kLicenseText = QStringLiteral(
    "The IDEA algorithm is patented. The patent holder is Ascom Systec AG, Switzerland "
    "(http://www.ascom.ch/infosec/idea.html).\n\n"
    "Its use is free only for data transfer between private individuals that generates no revenue. "
    "Whoever uses this program commercially and wants to use IDEA must buy a licence from the patent "
    "holder.\n\n"
    "The 3-DES algorithm is the alternative.");
const QString kLicenseTitle = QStringLiteral("License information");

const QString kQualityText = QStringLiteral(
    "A passphrase with maximum quality corresponds to a complete utilization of the number of key bits in "
    "the encryption algorithms. But the quality only measures the number of characters in the passphrase, "
    "so you have to choose a passphrase that is hard enough to guess.");
const QString kQualityTitle = QStringLiteral("What is Quality?");

const QString kWarningText = QStringLiteral(
    "Do not use this program to encrypt extremely sensitive files unless you accept the risk that their "
    "contents may be compromised. Although I have tried to keep out any bugs from the code it is impossible "
    "to guarantee that any programs (except very small ones) are completely free from bugs. Even if an "
    "encryption algorithm is extremely strong, a bug in the implementation could make the program encrypt "
    "in a way that is not corresponding to the original algorithm. Please be aware of this, there is no "
    "100% security anywhere, and use this program on your own risk. Also, if you forget the passphrase you "
    "can assume that your data will be gone forever if you do not have a backup that is not encrypted - so "
    "make sure that you do not forget your passphrase! If you do forget it, there is no use in sending any "
    "mails to me asking for help because I have no chance to get your data back. Last but not least I want "
    "to give you a guarantee that I have not put in any secret backdoors or anything like that on purpose "
    "into this program.");
const QString kWarningTitle = QStringLiteral("Warning");

const QString kCreditLine1 = QStringLiteral("morvex 1.1 - one file at a time, under a passphrase");
const QString kCreditLine2 = QStringLiteral("Triple-DES and IDEA in CBC");

// The length the user sees: a character outside the Basic Multilingual Plane is one, not two.
qsizetype CharacterCount(const QString& text) {
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!(text.at(i).isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate())) {
            ++count;
        }
    }
    return count;
}

// The first kPassphraseLimit characters as UTF-8, never splitting a surrogate pair.
std::string KeptText(const QString& text) {
    qsizetype end = 0;
    qsizetype count = 0;
    while (end < text.size() && count < MainDialog::kPassphraseLimit) {
        const bool pair = text.at(end).isHighSurrogate() && end + 1 < text.size() && text.at(end + 1).isLowSurrogate();
        end += pair ? 2 : 1;
        ++count;
    }
    return text.left(end).toStdString();
}

void Identify(QWidget* widget, const char* name, ControlId id, const QString& accessibleName) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setProperty(kControlIdProperty, static_cast<int>(id));
    widget->setAccessibleName(accessibleName);
}

}  // namespace

MainDialog::MainDialog(DialogPrompts* injectedPrompts, Platform* injectedPlatform)
    : QDialog(nullptr),
      ownPrompts(injectedPrompts == nullptr ? std::make_unique<QtDialogPrompts>(this) : nullptr),
      prompts(injectedPrompts == nullptr ? ownPrompts.get() : injectedPrompts),
      platform(injectedPlatform == nullptr ? &NativePlatform() : injectedPlatform) {
    setObjectName(QStringLiteral("mainDialog"));
    setWindowTitle(kTitle);
    // A fixed dialog with a caption, system menu and minimize box, but no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/morvex/morvex.png")));
    setAcceptDrops(true);

    BuildControls();
    ConnectHandlers();

    // JobState starts zeroed: no algorithm, no path, empty passphrases, nothing running.
    finishTimer = new QTimer(this);
    finishTimer->setObjectName(QStringLiteral("finishTimer"));
    finishTimer->setInterval(kTimerPeriodMs);
    connect(finishTimer, &QTimer::timeout, this, &MainDialog::OnTimer);
    finishTimer->start();
}

MainDialog::~MainDialog() {
    finishTimer->stop();
    // Normally the dialog cannot end while a job runs, but if the application is torn down around it the
    // worker must not outlive the record it writes to, nor leave a partial output behind.
    if (jobState.running) {
        CancelJob(jobState);
        while (!jobState.done.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (jobState.failed.load(std::memory_order_acquire)) {
            static_cast<void>(platform->RemoveFile(jobState.outputName));
        }
    }
}

void MainDialog::BuildControls() {
    const DialogUnits units{QFontMetrics(font())};
    setFixedSize(units.X(320), units.Y(196));

    // Created in the layout's order, which is also the tab order.
    pickFileButton = new QPushButton(QStringLiteral("Select File To Encrypt / Decrypt"), this);
    pickFileButton->setGeometry(units.Rect(77, 50, 123, 14));
    Identify(pickFileButton, "pickFileButton", ControlId::PickFileButton, QStringLiteral("Select file"));

    tripleDesRadio = new QRadioButton(QStringLiteral("3-DES"), this);
    tripleDesRadio->setGeometry(units.Rect(229, 53, 37, 10));
    tripleDesRadio->setFocusPolicy(Qt::ClickFocus);
    Identify(tripleDesRadio, "tripleDesRadio", ControlId::TripleDesRadio, QStringLiteral("Triple-DES"));

    ideaRadio = new QRadioButton(QStringLiteral("IDEA"), this);
    ideaRadio->setGeometry(units.Rect(273, 53, 33, 10));
    ideaRadio->setFocusPolicy(Qt::ClickFocus);
    Identify(ideaRadio, "ideaRadio", ControlId::IdeaRadio, QStringLiteral("IDEA"));

    passphraseField = new QLineEdit(this);
    passphraseField->setGeometry(units.Rect(54, 97, 259, 12));
    passphraseField->setEchoMode(QLineEdit::Password);
    Identify(passphraseField, "passphraseField", ControlId::PassphraseField, QStringLiteral("Passphrase"));

    retypeField = new QLineEdit(this);
    retypeField->setGeometry(units.Rect(54, 122, 259, 12));
    retypeField->setEchoMode(QLineEdit::Password);
    Identify(retypeField, "retypeField", ControlId::RetypeField, QStringLiteral("Retype passphrase"));

    encryptButton = new QPushButton(QStringLiteral("Encrypt"), this);
    encryptButton->setGeometry(units.Rect(203, 175, 50, 14));
    Identify(encryptButton, "encryptButton", ControlId::EncryptButton, QStringLiteral("Encrypt"));

    decryptButton = new QPushButton(QStringLiteral("Decrypt"), this);
    decryptButton->setGeometry(units.Rect(263, 175, 50, 14));
    Identify(decryptButton, "decryptButton", ControlId::DecryptButton, QStringLiteral("Decrypt"));

    warningButton = new QPushButton(QStringLiteral("Warning"), this);
    warningButton->setGeometry(units.Rect(13, 50, 50, 14));
    Identify(warningButton, "warningButton", ControlId::WarningButton, QStringLiteral("Warning"));

    qualityHelpButton = new QPushButton(QStringLiteral("?"), this);
    qualityHelpButton->setGeometry(units.Rect(36, 75, 11, 12));
    Identify(qualityHelpButton, "qualityHelpButton", ControlId::QualityHelpButton,
             QStringLiteral("What is Quality?"));

    exitButton = new QPushButton(QStringLiteral("Exit"), this);
    exitButton->setGeometry(units.Rect(7, 175, 50, 14));
    Identify(exitButton, "exitButton", ControlId::ExitButton, QStringLiteral("Exit"));

    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setGeometry(units.Rect(69, 175, 50, 14));
    cancelButton->setEnabled(false);
    Identify(cancelButton, "cancelButton", ControlId::CancelButton, QStringLiteral("Cancel"));

    qualityMeter = new QProgressBar(this);
    qualityMeter->setGeometry(units.Rect(54, 76, 259, 10));
    qualityMeter->setRange(0, 100);
    qualityMeter->setValue(0);
    qualityMeter->setTextVisible(false);
    Identify(qualityMeter, "qualityMeter", ControlId::QualityMeter, QStringLiteral("Quality"));

    // No push button is the default one, not even for a while: Qt would otherwise make the first
    // button that ever had the focus the dialog's default for good, and Enter in a passphrase field
    // would press it.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    auto* algorithmGroup = new QGroupBox(QStringLiteral("Encryption Algorithm"), this);
    algorithmGroup->setObjectName(QStringLiteral("algorithmGroup"));
    algorithmGroup->setGeometry(units.Rect(216, 42, 97, 26));

    const auto addLabel = [this, &units](const QString& text, const char* name, QRect rect) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        // A font wider than the one the layout was drawn for must not clip a caption; the labels
        // have room to their right.
        rect.setWidth(std::max(rect.width(), label->sizeHint().width()));
        label->setGeometry(rect);
        return label;
    };
    addLabel(QStringLiteral("Passphrase:"), "passphraseLabel", units.Rect(7, 99, 40, 8))->setBuddy(passphraseField);
    addLabel(QStringLiteral("Quality:"), "qualityLabel", units.Rect(7, 77, 26, 8));
    addLabel(QStringLiteral("passphrase:"), "retypeLabel2", units.Rect(7, 126, 40, 8))->setBuddy(retypeField);
    addLabel(QStringLiteral("Retype"), "retypeLabel1", units.Rect(7, 117, 24, 8));

    progressBar = new QProgressBar(this);
    progressBar->setGeometry(units.Rect(54, 147, 259, 10));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    Identify(progressBar, "progressBar", ControlId::ProgressBar, QStringLiteral("Progress"));

    addLabel(QStringLiteral("Progress:"), "progressLabel", units.Rect(7, 147, 43, 8));
    addLabel(kCreditLine1, "creditLine1", units.Rect(61, 15, 201, 12))->setAlignment(Qt::AlignCenter);
    addLabel(kCreditLine2, "creditLine2", units.Rect(110, 27, 111, 8))->setAlignment(Qt::AlignCenter);

    auto* creditFrame = new QGroupBox(this);
    creditFrame->setObjectName(QStringLiteral("creditFrame"));
    creditFrame->setGeometry(units.Rect(7, 7, 306, 32));

    // A frame created after the controls it surrounds would sit on top of them and take their clicks.
    algorithmGroup->lower();
    creditFrame->lower();
}

void MainDialog::ConnectHandlers() {
    // Painting the icon while minimised and supplying the drag icon are the windowing system's job
    // under Qt: the window icon set in the constructor serves both.
    connect(passphraseField, &QLineEdit::textChanged, this, &MainDialog::OnFirstFieldChanged);
    connect(exitButton, &QPushButton::clicked, this, &MainDialog::OnExit);
    connect(encryptButton, &QPushButton::clicked, this, &MainDialog::OnEncrypt);
    connect(decryptButton, &QPushButton::clicked, this, &MainDialog::OnDecrypt);
    connect(tripleDesRadio, &QRadioButton::clicked, this, &MainDialog::OnChooseTripleDes);
    connect(ideaRadio, &QRadioButton::clicked, this, &MainDialog::OnChooseIdea);
    connect(pickFileButton, &QPushButton::clicked, this, &MainDialog::OnPickFile);
    connect(retypeField, &QLineEdit::textChanged, this, &MainDialog::OnSecondFieldChanged);
    connect(qualityHelpButton, &QPushButton::clicked, this, &MainDialog::OnExplainQuality);
    connect(cancelButton, &QPushButton::clicked, this, &MainDialog::OnCancel);
    connect(warningButton, &QPushButton::clicked, this, &MainDialog::OnShowWarning);
}

void MainDialog::Prompt(const QString& text, const QString& title, MessageIcon icon) {
    prompts->ShowMessage(text, title, icon);
}

void MainDialog::OnFirstFieldChanged() {
    const QString text = passphraseField->text();
    const qsizetype length = CharacterCount(text);
    const qsizetype counted = std::min<qsizetype>(length, kPassphraseLimit);
    qualityMeter->setValue(static_cast<int>(counted * 100 / kPassphraseLimit));
    jobState.passphrase = KeptText(text);
    jobState.retype = KeptText(retypeField->text());
    // Once, at the moment the text reaches one character past the limit, whichever way it got there
    // by a single step; a paste that jumps beyond says nothing.
    if (length == kPassphraseLimit + 1) {
        Prompt(kLimitText, kLimitTitle);
    }
}

void MainDialog::OnSecondFieldChanged() {
    jobState.passphrase = KeptText(passphraseField->text());
    jobState.retype = KeptText(retypeField->text());
}

void MainDialog::OnPickFile() {
    const std::optional<QString> chosen = prompts->ChooseFile(kPickerTitle);
    if (chosen.has_value()) {
        ChoosePath(*chosen);
    }
}

void MainDialog::ChoosePath(const QString& path) {
    const QString fullPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (CharacterCount(fullPath) > kPathLimit) {
        Prompt(kPathTooLongText, kErrorTitle);
        return;
    }
    jobState.chosenPath = QFile::encodeName(fullPath).toStdString();
}

void MainDialog::OnChooseTripleDes() { jobState.algorithm = AlgorithmId::TripleDes; }

void MainDialog::OnChooseIdea() {
    Prompt(kLicenseText, kLicenseTitle);
    jobState.algorithm = AlgorithmId::Idea;
}

void MainDialog::OnExplainQuality() { Prompt(kQualityText, kQualityTitle, MessageIcon::Question); }

void MainDialog::OnShowWarning() { Prompt(kWarningText, kWarningTitle); }

void MainDialog::OnCancel() { CancelJob(jobState); }

void MainDialog::OnExit() {
    // The button is disabled while a job runs; the check keeps a queued click from ending one.
    if (!jobState.running) {
        done(kExitStatus);
    }
}

void MainDialog::OnEncrypt() {
    if (!jobState.running) {
        static_cast<void>(EncryptRequest(jobState, *this, *platform, jobOptions));
    }
}

void MainDialog::OnDecrypt() {
    if (!jobState.running) {
        static_cast<void>(DecryptRequest(jobState, *this, *platform, jobOptions));
    }
}

void MainDialog::OnTimer() { static_cast<void>(FinishJob(jobState, *this, *platform)); }

void MainDialog::ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) {
    Prompt(QString::fromStdString(text), QString::fromStdString(title), icon);
}

void MainDialog::SetControlsWorking(bool working) {
    exitButton->setEnabled(!working);
    encryptButton->setEnabled(!working);
    decryptButton->setEnabled(!working);
    cancelButton->setEnabled(working);
}

void MainDialog::SetProgress(int percent) { progressBar->setValue(std::clamp(percent, 0, 100)); }

void MainDialog::reject() { OnCancel(); }

void MainDialog::accept() {}

void MainDialog::closeEvent(QCloseEvent* event) {
    if (!jobState.running) {
        event->accept();
        done(kCloseStatus);
        return;
    }
    event->ignore();
    Prompt(kWorkingText, kWorkingTitle);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    // Enter presses the push button that has the focus, as Space does. Anywhere else it is the bare OK
    // command, which would otherwise be free to end the program in the middle of a job: it does nothing.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        if (focused != nullptr && focused->isEnabled() && focused->window() == this) {
            focused->click();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

namespace {

// Exactly one local file, as the picker would have chosen.
std::optional<QString> DroppedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) {
        return std::nullopt;
    }
    const QUrl url = mime->urls().constFirst();
    if (!url.isLocalFile() || !QFileInfo(url.toLocalFile()).isFile()) {
        return std::nullopt;
    }
    return url.toLocalFile();
}

}  // namespace

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
    if (DroppedFile(event->mimeData()).has_value()) {
        event->acceptProposedAction();
    }
}

void MainDialog::dropEvent(QDropEvent* event) {
    if (const std::optional<QString> path = DroppedFile(event->mimeData())) {
        event->acceptProposedAction();
        ChoosePath(*path);
    }
}

}  // namespace morvex
