#include "tests/app/MainDialogTest.h"

#include <array>
#include <memory>
#include <set>
#include <thread>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
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
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "app/MainDialog.h"
#include "tests/app/GatedPlatform.h"
#include "tests/app/RecordingPrompts.h"

namespace morvex::test {

namespace {

constexpr int kJobTimeoutMs = 20000;

// Several of the engine's reads, so that a job held at the gate after its first read is mid-way.
constexpr qsizetype kGatedJobBytes = static_cast<qsizetype>(3 * kJobTransferBytes + 5);

const QString kDone = QStringLiteral("Done");
const QString kLimit = QStringLiteral("Limit");
const QString kPw = QStringLiteral("pw");

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
    explicit DialogUnderTest(Platform* platform = nullptr) : dialog(&prompts, platform) {
        dialog.show();
        static_cast<void>(QTest::qWaitForWindowExposed(&dialog));
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

    void Choose(const std::optional<QString>& answer) {
        prompts.pickerAnswers.push_back(answer);
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

    // Everything a request needs, each part left out where empty.
    void Fill(const char* radio, const QString& path, const QString& first, const QString& second) {
        if (radio != nullptr) {
            Click(radio);
        }
        if (!path.isEmpty()) {
            Choose(path);
        }
        Type("passphraseField", first);
        Type("retypeField", second);
    }

    // Encrypt, Decrypt and Exit are off exactly while Cancel is on.
    [[nodiscard]] bool Working(bool working) {
        return Find("encryptButton")->isEnabled() != working &&
               Find("decryptButton")->isEnabled() != working && Find("exitButton")->isEnabled() != working &&
               Find("cancelButton")->isEnabled() == working;
    }

    [[nodiscard]] int Count(const QString& title) const { return prompts.CountTitled(title); }
    [[nodiscard]] int Progress() { return Find<QProgressBar>("progressBar")->value(); }
    [[nodiscard]] QString Chosen() const { return QString::fromStdString(dialog.State().choice.chosenPath); }

    RecordingPrompts prompts;
    MainDialog dialog;
};

// Waits for the timer's report of a finished job and checks what the dialog is left with.
void ExpectReport(DialogUnderTest& ui, const QString& title, int count) {
    QTRY_COMPARE_WITH_TIMEOUT(ui.Count(title), count, kJobTimeoutMs);
    const QString text = title == kDone ? QStringLiteral("     Done     ") : title;
    QCOMPARE(ui.prompts.boxes.back().text, text);
    QCOMPARE(ui.prompts.boxes.back().icon, MessageIcon::Information);
    QVERIFY(ui.Working(false));
    QCOMPARE(ui.Progress(), 0);
}

}  // namespace

void MainDialogTest::roundTrip_data() {
    QTest::addColumn<QString>("radio");
    QTest::addColumn<QString>("cipher");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    const QString accented = QStringLiteral("Grüße aus Zürich, ½ € ♞");
    // Longer than the limit in characters and, cut in the middle of a character, in bytes.
    const QString twoByte = QStringLiteral("é").repeated(60);
    // Fields that agree in their first 55 characters match, whatever follows.
    const QString prefix(MainDialog::kPassphraseLimit, QLatin1Char('k'));
    for (const char* cipher : {"3des", "idea"}) {
        const QString radio = QString::fromLatin1(cipher[0] == '3' ? "tripleDesRadio" : "ideaRadio");
        QTest::addRow("%s empty", cipher) << radio << cipher << 0 << accented << accented;
        QTest::addRow("%s 7 bytes, 60 two-byte characters", cipher)
            << radio << cipher << 7 << twoByte << twoByte;
        QTest::addRow("%s 1 MiB and 9, tails differ past the limit", cipher)
            << radio << cipher << (1 << 20) + 9 << prefix + QStringLiteral("first")
            << prefix + QStringLiteral("x");
    }
}

// Encrypts through the dialog, then opens the container with the command-line tool and with the dialog.
void MainDialogTest::roundTrip() {
    QFETCH(QString, radio);
    QFETCH(QString, cipher);
    QFETCH(int, size);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("plain.bin"));
    const QString container = source + QStringLiteral(".enc");
    const QString passphraseFile = dir.filePath(QStringLiteral("passphrase"));
    const QByteArray original = RandomBytes(size, static_cast<quint32>(size) + 1U);
    QVERIFY(WriteFile(source, original) && WriteFile(passphraseFile, first.toUtf8() + '\n'));

    DialogUnderTest ui;
    ui.Fill(radio.toLatin1().constData(), source, first, second);
    ui.Click("encryptButton");
    QVERIFY(ui.Working(true));
    ExpectReport(ui, kDone, 1);
    QVERIFY(ReadFile(container).size() >= size + 12);
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
    ExpectReport(ui, kDone, 2);
    QCOMPARE(ReadFile(source), original);
    QCOMPARE(ui.Count(QStringLiteral("Error")), 0);
}

void MainDialogTest::requestRefusalsInTheirOrder() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("notes.txt"));
    const QString upperCase = dir.filePath(QStringLiteral("notes.txt.ENC"));
    const QString inner = dir.filePath(QStringLiteral("notes.enc.txt"));
    for (const QString& path : {file, upperCase, inner}) {
        QVERIFY(WriteFile(path, QByteArrayLiteral("some text")));
    }
    const QString noAlgorithm = QStringLiteral("You must select an encryption algorithm first");
    const QString noPassphrase = QStringLiteral("You must type a passphrase first");
    const QString mismatch = QStringLiteral("The passphrases you typed do not match");
    const QString notContainer = QStringLiteral("The file you selected is not an morvex encrypted file");
    const char* const des = "tripleDesRadio";
    const char* const idea = "ideaRadio";
    const char* const encrypt = "encryptButton";
    const char* const decrypt = "decryptButton";
    struct Case {
        const char* radio;  // nothing chosen if null
        QString path;
        QString first;
        QString second;
        const char* button;
        QString expected;
    };
    const std::array cases{
        Case{nullptr, {}, {}, {}, encrypt, noAlgorithm},
        Case{nullptr, file, kPw, kPw, encrypt, noAlgorithm},
        Case{des, {}, kPw, kPw, encrypt, QStringLiteral("You must select a file to encrypt first")},
        Case{idea, file, {}, {}, encrypt, noPassphrase},
        Case{des, file, kPw, {}, encrypt, QStringLiteral("You must retype the passphrase first")},
        Case{des, file, QStringLiteral("secret"), QStringLiteral("secrets"), encrypt, mismatch},
        Case{idea, file, QStringLiteral("Secret"), QStringLiteral("secret"), encrypt, mismatch},
        Case{nullptr, {}, {}, {}, decrypt, noAlgorithm},
        Case{idea, {}, kPw, {}, decrypt, QStringLiteral("You must select a file to decrypt first")},
        Case{idea, upperCase, {}, kPw, decrypt, noPassphrase},
        Case{idea, upperCase, kPw, {}, decrypt, notContainer},
        Case{des, inner, kPw, {}, decrypt, notContainer},
        Case{des, file, QString(60, QLatin1Char('x')), {}, decrypt, notContainer},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        DialogUnderTest ui;
        ui.Fill(c.radio, c.path, c.first, c.second);
        ui.prompts.boxes.clear();
        ui.Click(c.button);
        const bool refused = ui.prompts.boxes.size() == 1 && ui.prompts.boxes[0].text == c.expected &&
                             ui.prompts.boxes[0].title == QStringLiteral("Error") &&
                             ui.prompts.boxes[0].icon == MessageIcon::Information;
        QVERIFY2(refused && ui.Working(false) && !ui.dialog.State().running, qPrintable(QString::number(i)));
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 3);
}

void MainDialogTest::qualityMeterAndLimitBox() {
    DialogUnderTest ui;
    auto* field = ui.Find<QLineEdit>("passphraseField");
    auto* meter = ui.Find<QProgressBar>("qualityMeter");
    // Readings worked out by hand from m x 100 / 55, truncated, with m at most 55.
    const std::array<std::pair<int, int>, 10> readings{
        {{0, 0}, {1, 1}, {11, 20}, {22, 40}, {28, 50}, {33, 60}, {44, 80}, {55, 100}, {56, 100}, {80, 100}}};
    for (const auto& [length, reading] : readings) {
        while (field->text().size() < length) {
            QTest::keyClick(field, 'q');
        }
        const QByteArray where = QByteArray::number(length) + " characters";
        QVERIFY2(meter->value() == reading, where.constData());
        QVERIFY2(ui.Count(kLimit) == (length >= 56 ? 1 : 0), where.constData());
        QVERIFY2(ui.dialog.State().choice.passphrase.size() == static_cast<std::size_t>(std::min(length, 55)),
                 where.constData());
    }
    QCOMPARE(ui.prompts.boxes.back().icon, MessageIcon::Information);

    // Shortening from 80: the box comes back exactly when 56 is reached, and not at 57 or 55.
    for (const int boxesAfter : {1, 2, 2}) {
        do {
            QTest::keyClick(field, Qt::Key_Backspace);
        } while (field->text().size() > 57);
        QCOMPARE(ui.Count(kLimit), boxesAfter);
    }
    QCOMPARE(meter->value(), 100);

    // A paste that jumps from nothing past the limit says nothing; the second field never does.
    field->clear();
    QCOMPARE(meter->value(), 0);
    QGuiApplication::clipboard()->setText(QString(70, QLatin1Char('p')));
    field->paste();
    QCOMPARE(field->text().size(), 70);
    QCOMPARE(meter->value(), 100);
    QTest::keyClicks(ui.Find("retypeField"), QString(60, QLatin1Char('r')));
    QCOMPARE(ui.Count(kLimit), 2);
    QCOMPARE(ui.dialog.State().choice.retype, std::string(55, 'r'));

    // Characters, not UTF-16 units, are counted and kept: two-, three- and four-byte ones.
    for (const QString& character :
         {QStringLiteral("é"), QStringLiteral("€"), QString::fromUtf8("\xF0\x9F\x94\x91")}) {
        field->setText(character.repeated(60));
        QCOMPARE(ui.dialog.State().choice.passphrase, character.repeated(55).toStdString());
        QCOMPARE(meter->value(), 100);
        field->setText(character.repeated(11));
        QCOMPARE(meter->value(), 20);
    }
}

void MainDialogTest::pickerAndDropChooseTheFile() {
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.txt"));
    const QString second = dir.filePath(QStringLiteral("second.txt"));
    QVERIFY(WriteFile(first, "1") && WriteFile(second, "2"));

    DialogUnderTest ui;
    ui.Choose(first);
    QCOMPARE(ui.prompts.pickerTitles.back(), QStringLiteral("Open file"));
    QCOMPARE(ui.Chosen(), first);
    ui.Choose(std::nullopt);
    QCOMPARE(ui.Chosen(), first);

    // 250 characters are accepted, 251 refused with the earlier choice kept.
    const QString at251 = QStringLiteral("/") + QString(250, QLatin1Char('n'));
    ui.Choose(at251);
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{1});
    QCOMPARE(ui.prompts.boxes[0].text, QStringLiteral("The pathname is too long"));
    QCOMPARE(ui.prompts.boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(ui.Chosen(), first);
    ui.Choose(at251.chopped(1));
    QCOMPARE(ui.Chosen(), at251.chopped(1));

    const auto drop = [&ui](const QList<QUrl>& urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&ui.dialog, &enter);
        QDropEvent dropped(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&ui.dialog, &dropped);
        return enter.isAccepted();
    };
    QVERIFY(drop({QUrl::fromLocalFile(second)}));
    QCOMPARE(ui.Chosen(), second);
    QVERIFY(!drop({QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
    QVERIFY(!drop({QUrl::fromLocalFile(dir.path())}));
    QVERIFY(!drop({QUrl(QStringLiteral("https://example.org/file.txt"))}));
    QCOMPARE(ui.Chosen(), second);
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{1});
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
    QPointer<QFileDialog> lastPicker;
    int ticks = 0;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, &dialog, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const bool single = box->buttons().size() == 1 && box->parentWidget() == &dialog;
            seen << box->windowTitle() +
                        (single ? QStringLiteral(" %1").arg(box->icon()) : QStringLiteral(" ?"));
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
    answerer.stop();
    const QStringList expected{QStringLiteral("What is Quality? %1").arg(QMessageBox::Question),
                               QStringLiteral("License information %1").arg(QMessageBox::Information),
                               QStringLiteral("Warning %1").arg(QMessageBox::Information),
                               QStringLiteral("Open file"), QStringLiteral("Open file")};
    QCOMPARE(seen, expected);
    QCOMPARE(QString::fromStdString(dialog.State().choice.chosenPath), dir.filePath(name));
}

void MainDialogTest::gatedJob_data() {
    QTest::addColumn<QString>("ending");
    for (const char* ending : {"left to finish", "Cancel button", "Escape key", "dialog torn down"}) {
        QTest::newRow(ending) << QString::fromLatin1(ending);
    }
}

// A job held after its first read, so that everything below happens while it certainly runs.
void MainDialogTest::gatedJob() {
    QFETCH(QString, ending);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("big.bin"));
    const QByteArray original = RandomBytes(kGatedJobBytes, 7);
    QVERIFY(WriteFile(source, original));
    GatedPlatform platform;
    auto ui = std::make_unique<DialogUnderTest>(&platform);
    ui->Fill("ideaRadio", source, kPw, kPw);
    ui->Click("encryptButton");
    QVERIFY(ui->Working(true));

    if (ending == QStringLiteral("dialog torn down")) {
        // The gate opens only while the dialog is being destroyed, so the worker is certainly mid-job then.
        std::thread opener([&platform] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            platform.Open();
        });
        ui.reset();
        opener.join();
    } else {
        // Enter in a field, a click on the disabled Exit and closing the window all leave the job running,
        // and everything but the four job buttons stays usable.
        QTest::keyClick(ui->Find("passphraseField"), Qt::Key_Return);
        QTest::keyClick(ui->Find("retypeField"), Qt::Key_Enter, Qt::KeypadModifier);
        ui->Click("exitButton");
        QVERIFY(!ui->dialog.close());
        QCOMPARE(ui->prompts.boxes.back().title, QStringLiteral("Working"));
        QCOMPARE(ui->prompts.boxes.back().text,
                 QStringLiteral("Working - you have to wait, or press Cancel before exiting"));
        for (const char* name : {"pickFileButton", "tripleDesRadio", "ideaRadio", "passphraseField",
                                 "retypeField", "warningButton", "qualityHelpButton"}) {
            QVERIFY2(ui->Find(name)->isEnabled(), name);
        }
        QVERIFY(ui->Working(true) && ui->dialog.State().running &&
                !ui->dialog.State().cancelRequested.load());
        QTRY_VERIFY(ui->Progress() > 0);
        if (ending == QStringLiteral("Escape key")) {
            QTest::keyClick(ui->Find("passphraseField"), Qt::Key_Escape);
        } else if (ending == QStringLiteral("Cancel button")) {
            ui->Click("cancelButton");
        }
        const bool finish = ending == QStringLiteral("left to finish");
        QVERIFY(ui->dialog.isVisible());
        QCOMPARE(ui->dialog.State().cancelRequested.load(), !finish);
        platform.Open();
        ExpectReport(*ui, finish ? kDone : QStringLiteral("Canceled"), 1);
        QCOMPARE(QFileInfo::exists(source + QStringLiteral(".enc")), finish);
        if (finish) {
            QVERIFY(ui->dialog.close());
            QVERIFY(!ui->dialog.isVisible());
            QCOMPARE(ui->dialog.result(), MainDialog::kCloseStatus);
            return;
        }
    }
    QVERIFY(!QFileInfo::exists(source + QStringLiteral(".enc")));
    QCOMPARE(ReadFile(source), original);
}

void MainDialogTest::idleDialog() {
    DialogUnderTest ui;
    ui.dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&ui.dialog));
    QTRY_COMPARE(QApplication::focusWidget(), ui.Find("pickFileButton"));
    const QStringList expected = QStringLiteral("passphraseField retypeField encryptButton decryptButton "
                                                "warningButton qualityHelpButton exitButton pickFileButton")
                                     .split(u' ');
    QStringList seen;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);

    // Nothing is chosen at first; IDEA shows its licence every time it is clicked, 3-DES nothing.
    auto* idea = ui.Find<QRadioButton>("ideaRadio");
    auto* tripleDes = ui.Find<QRadioButton>("tripleDesRadio");
    QVERIFY(!idea->isChecked() && !tripleDes->isChecked() &&
            ui.dialog.State().choice.algorithm == AlgorithmId::None);
    ui.Click("ideaRadio");
    ui.Click("ideaRadio");
    QCOMPARE(ui.Count(QStringLiteral("License information")), 2);
    QVERIFY(idea->isChecked() && ui.dialog.State().choice.algorithm == AlgorithmId::Idea);
    ui.Click("tripleDesRadio");
    QVERIFY(tripleDes->isChecked() && !idea->isChecked());
    QCOMPARE(ui.dialog.State().choice.algorithm, AlgorithmId::TripleDes);

    // Having had the focus makes no button the default: Enter in a field or on the dialog presses
    // nothing and Escape while idle changes nothing, while Enter on a focused button presses that one.
    for (QPushButton* button : ui.dialog.findChildren<QPushButton*>()) {
        QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
    }
    auto* field = ui.Find<QLineEdit>("passphraseField");
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral("abc"));
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(field, key);
        QTest::keyClick(&ui.dialog, key);
    }
    QVERIFY(ui.dialog.isVisible() && ui.Working(false));
    QVERIFY(ui.prompts.pickerTitles.empty() && ui.prompts.boxes.size() == 2);
    QCOMPARE(field->text(), QStringLiteral("abc"));
    ui.Find("pickFileButton")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(ui.prompts.pickerTitles.size(), std::size_t{1});
    QVERIFY(ui.dialog.isVisible());

    ui.Click("exitButton");
    QVERIFY(!ui.dialog.isVisible());
    QCOMPARE(ui.dialog.result(), MainDialog::kExitStatus);
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
