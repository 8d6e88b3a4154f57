#include "tests/app/MainDialogTest.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <set>

#include "app/MainDialog.h"
#include "tests/app/RecordingPrompts.h"

namespace morvex::test {

namespace {

constexpr int kJobTimeoutMs = 20000;

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One dialog on recording prompts, shown on the offscreen screen.
struct DialogUnderTest {
    DialogUnderTest() : dialog(&prompts) {
        dialog.show();
        static_cast<void>(QTest::qWaitForWindowExposed(&dialog));
    }

    // Focus and shortcuts need the window to be the active one.
    [[nodiscard]] bool Activate() {
        dialog.activateWindow();
        return QTest::qWaitForWindowActive(&dialog);
    }

    template <typename Widget = QWidget>
    [[nodiscard]] Widget* Find(const char* name) {
        auto* widget = dialog.findChild<Widget*>(QString::fromLatin1(name));
        if (widget == nullptr) {
            qFatal("no control named %s", name);
        }
        return widget;
    }

    void Click(const char* name) { QTest::mouseClick(Find(name), Qt::LeftButton); }

    void Choose(const QString& path) {
        prompts.pickerAnswers.push_back(path);
        Click("pickFileButton");
    }

    // One key press per character, also for characters no test keyboard has.
    void Type(const char* field, const QString& text) {
        for (const uint codePoint : text.toUcs4()) {
            const QString character = QString::fromUcs4(reinterpret_cast<const char32_t*>(&codePoint), 1);
            for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent event(type, Qt::Key_unknown, Qt::NoModifier, character);
                QApplication::sendEvent(Find(field), &event);
            }
        }
    }

    // Encrypt, Decrypt and Exit are off exactly while Cancel is on.
    [[nodiscard]] bool Working(bool working) {
        return Find("encryptButton")->isEnabled() != working &&
               Find("decryptButton")->isEnabled() != working && Find("exitButton")->isEnabled() != working &&
               Find("cancelButton")->isEnabled() == working;
    }

    [[nodiscard]] int Count(const QString& title) const { return prompts.CountTitled(title); }
    [[nodiscard]] QString Chosen() const { return QString::fromStdString(dialog.State().choice.chosenPath); }

    RecordingPrompts prompts;
    MainDialog dialog;
};

// Waits for the timer's report of a finished job and checks what the window is left with.
void ExpectDone(DialogUnderTest& ui, int count) {
    QTRY_COMPARE_WITH_TIMEOUT(ui.Count(QStringLiteral("Done")), count, kJobTimeoutMs);
    QCOMPARE(ui.prompts.boxes.back().text, QStringLiteral("     Done     "));
    QVERIFY(ui.Working(false));
    QCOMPARE(ui.Find<QProgressBar>("progressBar")->value(), 0);
}

}  // namespace

void MainDialogTest::roundTrip_data() {
    QTest::addColumn<QString>("radio");
    QTest::addColumn<QString>("cipher");
    QTest::newRow("3des") << QStringLiteral("tripleDesRadio") << QStringLiteral("3des");
    QTest::newRow("idea") << QStringLiteral("ideaRadio") << QStringLiteral("idea");
}

// Encrypts through the widgets, opens the container with the command-line tool (the same passphrase
// bytes from both front ends) and with the widgets again.
void MainDialogTest::roundTrip() {
    QFETCH(QString, radio);
    QFETCH(QString, cipher);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("plain.bin"));
    const QString container = source + QStringLiteral(".enc");
    const QString passphraseFile = dir.filePath(QStringLiteral("passphrase"));
    const QString passphrase = QStringLiteral("Grüße aus Zürich, ½ € ♞");
    const QByteArray original = RandomBytes((1 << 16) + 9, static_cast<quint32>(radio.size()));
    QVERIFY(WriteFile(source, original) && WriteFile(passphraseFile, passphrase.toUtf8() + '\n'));

    DialogUnderTest ui;
    QVERIFY(ui.Activate());
    ui.Click(radio.toLatin1().constData());
    ui.Choose(source);
    ui.Type("passphraseField", passphrase);
    ui.Type("retypeField", passphrase);
    // The meter counts the key's bytes: with a character outside Windows-1252 the text goes as UTF-8.
    QCOMPARE(ui.Find<QProgressBar>("qualityMeter")->value(),
             static_cast<int>(std::min<qsizetype>(passphrase.toUtf8().size(), 55)) * 100 / 55);
    ui.Click("encryptButton");
    QVERIFY(ui.Working(true));
    // Disabling the focused button moved the focus on; the report brings it back.
    QCOMPARE(QApplication::focusWidget(), ui.Find("warningButton"));
    ExpectDone(ui, 1);
    QCOMPARE(QApplication::focusWidget(), ui.Find("encryptButton"));
    QVERIFY(ReadFile(container).size() >= original.size() + 12);
    QCOMPARE(ReadFile(source), original);

    // The plain name must be free again before the container can be turned back into it.
    QVERIFY(QFile::rename(source, source + QStringLiteral(".orig")));
    QProcess tool;
    tool.start(QStringLiteral(MORVEX_CLI_BINARY),
               {QStringLiteral("decrypt"), QStringLiteral("--cipher"), cipher,
                QStringLiteral("--passphrase-file"), passphraseFile, QStringLiteral("--quiet"), container});
    QVERIFY(tool.waitForFinished(30000));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    QCOMPARE(ReadFile(source), original);

    QVERIFY(QFile::remove(source));
    ui.Choose(container);
    ui.Click("decryptButton");
    QVERIFY(ui.Working(true));
    ExpectDone(ui, 2);
    QCOMPARE(QApplication::focusWidget(), ui.Find("decryptButton"));
    QCOMPARE(ReadFile(source), original);
    QCOMPARE(ui.Count(QStringLiteral("Error")), 0);
}

void MainDialogTest::realBoxesAndPicker() {
    QTemporaryDir dir;
    const QString name = QStringLiteral("no-dot-in-this-name");
    QVERIFY(WriteFile(dir.filePath(name), "x"));
    MainDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Answers whatever modal window is up: message boxes with OK, the first picker with Cancel and the
    // second with the file, once the picker lists it (which its filter must allow).
    QStringList seen;
    QStringList narrow;  // boxes whose title bar would clip their title
    QPointer<QFileDialog> lastPicker;
    int ticks = 0;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, &dialog, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const bool single = box->buttons().size() == 1 && box->parentWidget() == &dialog;
            seen << box->windowTitle() +
                        (single ? QStringLiteral(" %1").arg(box->icon()) : QStringLiteral(" ?"));
            // Room for the title, the window's icon, its close button and a gap, each as wide as the
            // title bar is high.
            const int titleBar = box->style()->pixelMetric(QStyle::PM_TitleBarHeight);
            if (box->width() <
                QFontMetrics(box->font()).horizontalAdvance(box->windowTitle()) + 3 * titleBar) {
                narrow << box->windowTitle();
            }
            box->button(QMessageBox::Ok)->click();
        } else if (auto* picker = qobject_cast<QFileDialog*>(modal)) {
            if (picker != lastPicker) {
                seen << picker->windowTitle();
                lastPicker = picker;
                picker->setDirectory(dir.path());
            }
            const auto* view = picker->findChild<QListView*>(QStringLiteral("listView"));
            const QModelIndex top =
                view != nullptr ? view->model()->index(0, 0, view->rootIndex()) : QModelIndex();
            const bool listed =
                top.isValid() &&
                !top.model()->match(top, Qt::DisplayRole, name, 1, Qt::MatchExactly).isEmpty();
            const bool answer = seen.size() == 5;
            if (answer && !listed && ++ticks < 150) {
                return;
            }
            if (answer && listed) {
                // selectFile races the picker's own background listing and may be dropped; the
                // name typed into its file name field is what a user's Open would take.
                picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(name);
                QMetaObject::invokeMethod(picker, "accept");
            } else {
                picker->reject();
            }
        }
    });
    answerer.start(20);
    for (const char* control :
         {"qualityHelpButton", "ideaRadio", "warningButton", "pickFileButton", "pickFileButton"}) {
        QVERIFY(dialog.State().choice.chosenPath.empty());
        QTest::mouseClick(dialog.findChild<QWidget*>(QString::fromLatin1(control)), Qt::LeftButton);
    }
    // The shortest texts, and a short text under a long title: the box widens for its title bar.
    dialog.ShowMessage(Message(MessageId::Canceled));
    dialog.ShowMessage(Message(MessageId::Done));
    const std::string_view longTitle = "A title far wider than the single character of its text";
    dialog.ShowMessage(MessageText{"x", longTitle});
    answerer.stop();
    const QStringList expected{
        QStringLiteral("What is Quality? %1").arg(QMessageBox::Question),
        QStringLiteral("License information %1").arg(QMessageBox::Information),
        QStringLiteral("Warning %1").arg(QMessageBox::Information),
        QStringLiteral("Open file"),
        QStringLiteral("Open file"),
        QStringLiteral("Canceled %1").arg(QMessageBox::Information),
        QStringLiteral("Done %1").arg(QMessageBox::Information),
        QString::fromLatin1(longTitle.data(), static_cast<qsizetype>(longTitle.size())) +
            QStringLiteral(" %1").arg(QMessageBox::Information)};
    QCOMPARE(seen, expected);
    QCOMPARE(narrow, QStringList());
    QCOMPARE(QString::fromStdString(dialog.State().choice.chosenPath), dir.filePath(name));
}

// Drops arrive at the window as the windowing system delivers them, at a position, so that Qt picks
// the widget under it that takes drops.
void MainDialogTest::dropOnAFieldChoosesTheFile() {
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.txt"));
    const QString second = dir.filePath(QStringLiteral("second.txt"));
    QVERIFY(WriteFile(first, "1") && WriteFile(second, "2"));
    DialogUnderTest ui;
    const auto drop = [&ui](QWidget* onto, const QList<QUrl>& urls) {
        // As a file manager offers it: the links, and their text for a text field.
        QMimeData mime;
        mime.setUrls(urls);
        mime.setText(urls.constFirst().toString());
        const QPoint at = onto->mapTo(&ui.dialog, onto->rect().center());
        QWindow* window = ui.dialog.windowHandle();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &enter);
        if (!enter.isAccepted()) {
            QDragLeaveEvent leave;
            QApplication::sendEvent(window, &leave);
            return false;
        }
        QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &dropped);
        return true;
    };
    for (const char* name : {"passphraseField", "retypeField"}) {
        auto* field = ui.Find<QLineEdit>(name);
        QVERIFY(drop(field, {QUrl::fromLocalFile(first)}));
        QCOMPARE(ui.Chosen(), first);
        QVERIFY2(field->text().isEmpty(), name);
        QVERIFY(drop(field, {QUrl::fromLocalFile(second)}));
        QCOMPARE(ui.Chosen(), second);
    }
    // Only exactly one local file is taken.
    QWidget* window = &ui.dialog;
    QVERIFY(!drop(window, {QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
    QVERIFY(!drop(window, {QUrl::fromLocalFile(dir.path())}));
    QVERIFY(!drop(window, {QUrl(QStringLiteral("https://example.org/file.txt"))}));
    QCOMPARE(ui.Chosen(), second);
    QVERIFY(ui.prompts.boxes.empty());
}

void MainDialogTest::keyboard() {
    DialogUnderTest ui;
    QVERIFY(ui.Activate());
    QTRY_COMPARE(QApplication::focusWidget(), ui.Find("pickFileButton"));
    const QStringList expected = QStringLiteral(
                                     "passphraseField retypeField encryptButton decryptButton "
                                     "warningButton qualityHelpButton exitButton pickFileButton")
                                     .split(u' ');
    QStringList seen;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);

    // The radio buttons have no tab stop: Alt+I and Alt+3 reach them, and their captions stay bare.
    auto* idea = ui.Find<QRadioButton>("ideaRadio");
    auto* tripleDes = ui.Find<QRadioButton>("tripleDesRadio");
    QTest::keyClick(&ui.dialog, Qt::Key_I, Qt::AltModifier);
    QVERIFY(idea->isChecked() && ui.dialog.State().choice.algorithm == AlgorithmId::Idea);
    QCOMPARE(ui.Count(QStringLiteral("License information")), 1);
    QTest::keyClick(&ui.dialog, Qt::Key_3, Qt::AltModifier);
    QVERIFY(tripleDes->isChecked() && ui.dialog.State().choice.algorithm == AlgorithmId::TripleDes);
    QCOMPARE(idea->text(), QStringLiteral("IDEA"));
    QCOMPARE(tripleDes->text(), QStringLiteral("3-DES"));

    // No button is ever the default: Enter in a field or on the window presses nothing, and Escape
    // is the cancel command, which keeps the window.
    for (QPushButton* button : ui.dialog.findChildren<QPushButton*>()) {
        QVERIFY2(!button->isDefault() && !button->autoDefault(), qPrintable(button->objectName()));
    }
    auto* field = ui.Find<QLineEdit>("passphraseField");
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral("abc"));
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(field, key);
        QTest::keyClick(&ui.dialog, key);
    }
    QVERIFY(!ui.dialog.State().cancelRequested.load());
    QTest::keyClick(field, Qt::Key_Escape);
    QVERIFY(ui.dialog.State().cancelRequested.load());
    QVERIFY(ui.dialog.isVisible() && ui.Working(false));
    QCOMPARE(ui.prompts.pickerCalls, 0);
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{1});
    QCOMPARE(field->text(), QStringLiteral("abc"));

    // Enter on a focused button presses that one.
    ui.Find("pickFileButton")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(ui.prompts.pickerCalls, 1);
    ui.Find("qualityHelpButton")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(ui.prompts.boxes.back().title, QStringLiteral("What is Quality?"));

    // Closed while idle, the window goes with exit status 0.
    QVERIFY(ui.dialog.close());
    QVERIFY(!ui.dialog.isVisible());
    QCOMPARE(ui.dialog.result(), MainDialogLogic::kCloseStatus);
}

void MainDialogTest::layoutAtTwoFontSizes_data() {
    QTest::addColumn<int>("pointSize");
    QTest::newRow("8 pt") << 8;
    QTest::newRow("14 pt") << 14;
}

void MainDialogTest::layoutAtTwoFontSizes() {
    QFETCH(int, pointSize);
    const QFont saved = QApplication::font();
    QFont font = saved;
    font.setPointSize(pointSize);
    QApplication::setFont(font);
    DialogUnderTest ui;
    QApplication::setFont(saved);

    QCOMPARE(ui.dialog.windowTitle(), QStringLiteral("morvex 1.1"));
    QVERIFY(!ui.dialog.windowIcon().pixmap(32).isNull());
    std::set<int> ids;
    const QRect inside = ui.dialog.rect();
    for (QWidget* control : ui.dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QByteArray name = control->objectName().toLatin1();
        const auto* button = qobject_cast<QAbstractButton*>(control);
        const auto* label = qobject_cast<QLabel*>(control);
        const QString text = button != nullptr  ? button->text()
                             : label != nullptr ? label->text()
                                                : QString();
        QVERIFY2(control->fontMetrics().horizontalAdvance(text) <= control->width(), name.constData());
        QVERIFY2(inside.contains(control->geometry()), name.constData());
        if (const QVariant id = control->property(kControlIdProperty); id.isValid()) {
            ids.insert(id.toInt());
            QCOMPARE(ui.dialog.Control(static_cast<ControlId>(id.toInt())), control);
            QVERIFY2(!control->accessibleName().isEmpty(), name.constData());
            // Nothing, frames included, lies on top of a control and takes its clicks.
            QVERIFY2(ui.dialog.childAt(control->geometry().center()) == control, name.constData());
        }
    }
    QVERIFY(ids ==
            (std::set<int>{1000, 1001, 1002, 1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1020, 1021}));
}

}  // namespace morvex::test

QTEST_MAIN(morvex::test::MainDialogTest)
