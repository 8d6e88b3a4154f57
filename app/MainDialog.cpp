#include "app/MainDialog.h"

#include <algorithm>

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
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include "app/DialogUnits.h"
#include "app/QtDialogPrompts.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

QString FromView(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QRect ToPixels(const DialogUnits& units, const DialogRect& rect) {
    return units.Rect(rect.left, rect.top, rect.width, rect.height);
}

// A progress bar that shows a position from 0 to 100 and no text.
QProgressBar* MakeBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

// The field's text as UTF-8, wiped once the rules have taken their copy.
class FieldText {
public:
    explicit FieldText(const QLineEdit* field) : bytes(field->text().toUtf8()) {}
    ~FieldText() { SecureWipe(bytes.data(), static_cast<std::size_t>(bytes.size())); }
    FieldText(const FieldText&) = delete;
    FieldText& operator=(const FieldText&) = delete;
    [[nodiscard]] std::string_view View() const {
        return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
    }

private:
    QByteArray bytes;
};

}  // namespace

MainDialog::MainDialog(DialogPrompts* injectedPrompts, Platform* injectedPlatform)
    : QDialog(nullptr),
      ownPrompts(injectedPrompts == nullptr ? std::make_unique<QtDialogPrompts>(this) : nullptr),
      prompts(injectedPrompts == nullptr ? ownPrompts.get() : injectedPrompts) {
    setObjectName(QStringLiteral("mainDialog"));
    setWindowTitle(FromView(MainDialogTemplate().title));
    // A fixed dialog with a caption, system menu and minimize box, but no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/morvex/morvex.png")));
    setAcceptDrops(true);

    BuildControls();
    logic = std::make_unique<MainDialogLogic>(*this, injectedPlatform == nullptr ? NativePlatform() : *injectedPlatform);
    ConnectHandlers();

    finishTimer = new QTimer(this);
    finishTimer->setObjectName(QStringLiteral("finishTimer"));
    finishTimer->setInterval(MainDialogLogic::kTimerPeriodMs);
    connect(finishTimer, &QTimer::timeout, this, [this] { logic->Tick(); });
    finishTimer->start();
}

MainDialog::~MainDialog() {
    finishTimer->stop();
    logic.reset();
}

QWidget* MainDialog::Control(ControlId id) const {
    const auto found = controls.find(id);
    return found != controls.end() ? found->second : nullptr;
}

void MainDialog::BuildControls() {
    const DialogUnits units{QFontMetrics(font())};
    setFixedSize(units.X(MainDialogTemplate().width), units.Y(MainDialogTemplate().height));

    std::vector<QWidget*> frames;
    std::vector<std::pair<QLabel*, ControlId>> buddies;
    // Created in the table's order, which is also the tab order.
    for (const ControlSpec& entry : MainDialogControls()) {
        const QString caption = FromView(entry.caption);
        QWidget* widget = nullptr;
        switch (entry.kind) {
        case ControlKind::PushButton: {
            auto* button = new QPushButton(caption, this);
            // No push button is the default one, not even for a while: Qt would otherwise make the
            // first button that ever had the focus the dialog's default, and Enter in a passphrase
            // field would press it.
            button->setAutoDefault(false);
            button->setDefault(false);
            widget = button;
            break;
        }
        case ControlKind::RadioButton: {
            auto* radio = new QRadioButton(caption, this);
            if (entry.shortcut != 0) {
                auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key(entry.shortcut)), this);
                connect(shortcut, &QShortcut::activated, radio, [radio] {
                    radio->setFocus(Qt::ShortcutFocusReason);
                    radio->click();
                });
            }
            widget = radio;
            break;
        }
        case ControlKind::PasswordEdit: {
            auto* field = new QLineEdit(this);
            field->setEchoMode(QLineEdit::Password);
            // A file dropped here is the window's: the field would take its path as text.
            field->setAcceptDrops(false);
            widget = field;
            break;
        }
        case ControlKind::ProgressBar:
            widget = MakeBar(this);
            break;
        case ControlKind::GroupBox:
            widget = new QGroupBox(caption, this);
            frames.push_back(widget);
            break;
        case ControlKind::Label: {
            auto* label = new QLabel(caption, this);
            if ((entry.styles & kCentred) != 0) {
                label->setAlignment(Qt::AlignCenter);
            }
            if (entry.buddy != ControlId::None) {
                buddies.emplace_back(label, entry.buddy);
            }
            widget = label;
            break;
        }
        }
        QRect rect = ToPixels(units, entry.rect);
        if (entry.kind == ControlKind::Label) {
            // A font wider than the one the layout was drawn for must not clip a caption; the labels
            // have room to their right.
            rect.setWidth(std::max(rect.width(), widget->sizeHint().width()));
        }
        widget->setGeometry(rect);
        widget->setObjectName(FromView(entry.name));
        if (!entry.accessibleName.empty()) {
            widget->setAccessibleName(FromView(entry.accessibleName));
        }
        if (entry.id != ControlId::None) {
            widget->setProperty(kControlIdProperty, static_cast<int>(entry.id));
            controls[entry.id] = widget;
            if ((entry.styles & kTabStop) == 0 && entry.kind == ControlKind::RadioButton) {
                widget->setFocusPolicy(Qt::ClickFocus);
            }
        }
        widget->setEnabled((entry.styles & kDisabled) == 0);
    }
    for (const auto& [label, buddy] : buddies) {
        label->setBuddy(Control(buddy));
    }
    // A frame created after the controls it surrounds would sit on top of them and take their clicks.
    for (QWidget* frame : frames) {
        frame->lower();
    }
    passphraseField = static_cast<QLineEdit*>(Control(ControlId::PassphraseField));
    retypeField = static_cast<QLineEdit*>(Control(ControlId::RetypeField));
    qualityMeter = static_cast<QProgressBar*>(Control(ControlId::QualityMeter));
    progressBar = static_cast<QProgressBar*>(Control(ControlId::ProgressBar));
}

void MainDialog::ConnectHandlers() {
    // Painting the icon while minimised and supplying the drag icon are the windowing system's job
    // under Qt: the window icon set in the constructor serves both.
    const auto onClick = [this](ControlId id, void (MainDialogLogic::*handler)()) {
        auto* button = static_cast<QAbstractButton*>(Control(id));
        connect(button, &QAbstractButton::clicked, this, [this, handler] { (logic.get()->*handler)(); });
    };
    connect(passphraseField, &QLineEdit::textChanged, this, [this] { FieldChanged(true); });
    onClick(ControlId::ExitButton, &MainDialogLogic::Exit);
    onClick(ControlId::EncryptButton, &MainDialogLogic::Encrypt);
    onClick(ControlId::DecryptButton, &MainDialogLogic::Decrypt);
    onClick(ControlId::TripleDesRadio, &MainDialogLogic::ChooseTripleDes);
    onClick(ControlId::IdeaRadio, &MainDialogLogic::ChooseIdea);
    onClick(ControlId::PickFileButton, &MainDialogLogic::PickFile);
    connect(retypeField, &QLineEdit::textChanged, this, [this] { FieldChanged(false); });
    onClick(ControlId::QualityHelpButton, &MainDialogLogic::ExplainQuality);
    onClick(ControlId::CancelButton, &MainDialogLogic::Cancel);
    onClick(ControlId::WarningButton, &MainDialogLogic::ShowWarning);
}

void MainDialog::FieldChanged(bool first) {
    const FieldText firstText(passphraseField);
    const FieldText secondText(retypeField);
    if (first) {
        logic->FirstFieldChanged(firstText.View(), secondText.View());
    } else {
        logic->SecondFieldChanged(firstText.View(), secondText.View());
    }
}

void MainDialog::ChoosePath(const QString& path) {
    const QString fullPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    logic->ChoosePath(QFile::encodeName(fullPath).toStdString());
}

void MainDialog::SetWorking(bool working) {
    if (working) {
        focusBeforeJob = focusWidget();
    }
    Control(ControlId::ExitButton)->setEnabled(!working);
    Control(ControlId::EncryptButton)->setEnabled(!working);
    Control(ControlId::DecryptButton)->setEnabled(!working);
    Control(ControlId::CancelButton)->setEnabled(working);
    // Disabling the focused button moved the focus on along the tab order, to a control that Enter
    // would press by surprise; it goes back to where the job was started from.
    if (!working && focusBeforeJob != nullptr && focusBeforeJob->isEnabled()) {
        focusBeforeJob->setFocus(Qt::OtherFocusReason);
    }
}

void MainDialog::SetQuality(int percent) { qualityMeter->setValue(std::clamp(percent, 0, 100)); }

void MainDialog::SetProgress(int percent) { progressBar->setValue(std::clamp(percent, 0, 100)); }

void MainDialog::ShowMessage(const MessageText& message) { prompts->ShowMessage(message); }

std::optional<std::string> MainDialog::ChooseFile() {
    const std::optional<QString> chosen = prompts->ChooseFile();
    if (!chosen) {
        return std::nullopt;
    }
    const QString fullPath = QDir::toNativeSeparators(QFileInfo(*chosen).absoluteFilePath());
    return QFile::encodeName(fullPath).toStdString();
}

void MainDialog::EndDialog(int status) {
    ending = true;
    done(status);
}

void MainDialog::reject() { logic->Cancel(); }

void MainDialog::accept() {}

void MainDialog::closeEvent(QCloseEvent* event) {
    // The rules end the dialog themselves when it may close, and the close goes ahead only then: a
    // close event left ignored would keep the window, and the program, alive after done().
    ending = false;
    logic->Close();
    event->setAccepted(ending);
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
