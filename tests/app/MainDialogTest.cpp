#include "tests/app/MainDialogTest.h"

#include <array>
#include <set>
#include <thread>
#include <memory>

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
#include <QPointer>
#include <QProcess>
#include <QMessageBox>
#include <QMimeData>
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

const QString kDone = QStringLiteral("     Done     ");
const QString kLimitTitle = QStringLiteral("Limit");

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

    void Choose(const QString& path) {
        prompts.pickerAnswers.emplace_back(path);
        Click("pickFileButton");
    }

    void TypeBoth(const QString& first, const QString& second) {
        Type(Find("passphraseField"), first);
        Type(Find("retypeField"), second);
    }

    // One key press per character, also for characters no test keyboard has.
    static void Type(QWidget* field, const QString& text) {
        for (const uint codePoint : text.toUcs4()) {
            const QString character = QString::fromUcs4(reinterpret_cast<const char32_t*>(&codePoint), 1);
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, character);
            QApplication::sendEvent(field, &press);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, character);
            QApplication::sendEvent(field, &release);
        }
    }

    [[nodiscard]] bool Working() {
        return !Find("encryptButton")->isEnabled() && !Find("decryptButton")->isEnabled() &&
               !Find("exitButton")->isEnabled() && Find("cancelButton")->isEnabled();
    }

    [[nodiscard]] bool Idle() {
        return Find("encryptButton")->isEnabled() && Find("decryptButton")->isEnabled() &&
               Find("exitButton")->isEnabled() && !Find("cancelButton")->isEnabled();
    }

    [[nodiscard]] int Progress() { return Find<QProgressBar>("progressBar")->value(); }

    RecordingPrompts prompts;
    MainDialog dialog;
};

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

}  // namespace

void MainDialogTest::roundTripThroughTheDialog_data() {
    QTest::addColumn<QString>("radio");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("passphrase");
    const QString ascii = QStringLiteral("correct horse battery staple");
    const QString accented = QStringLiteral("Grüße aus Zürich, ½ € ♞");
    for (const char* radio : {"tripleDesRadio", "ideaRadio"}) {
        QTest::addRow("%s empty", radio) << QString::fromLatin1(radio) << 0 << ascii;
        QTest::addRow("%s 7 bytes", radio) << QString::fromLatin1(radio) << 7 << accented;
        QTest::addRow("%s 1 MiB and 9", radio) << QString::fromLatin1(radio) << (1 << 20) + 9 << ascii;
    }
}

void MainDialogTest::roundTripThroughTheDialog() {
    QFETCH(QString, radio);
    QFETCH(int, size);
    QFETCH(QString, passphrase);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("plain.bin"));
    const QByteArray original = RandomBytes(size, static_cast<quint32>(size) + 1U);
    QVERIFY(WriteFile(source, original));

    DialogUnderTest ui;
    ui.Click(radio.toLatin1().constData());
    ui.Choose(source);
    ui.TypeBoth(passphrase, passphrase);
    ui.Click("encryptButton");
    QVERIFY(ui.Working());
    QTRY_COMPARE_WITH_TIMEOUT(ui.prompts.CountTitled(QStringLiteral("Done")), 1, kJobTimeoutMs);
    QCOMPARE(ui.prompts.boxes.back().text, kDone);
    QCOMPARE(ui.prompts.boxes.back().icon, MessageIcon::Information);
    QVERIFY(ui.Idle());
    QCOMPARE(ui.Progress(), 0);

    const QString container = source + QStringLiteral(".enc");
    QVERIFY(QFileInfo::exists(container));
    QVERIFY(ReadFile(container).size() >= size + 12);
    QCOMPARE(ReadFile(source), original);

    // The plain name must be free again before the container can be turned back into it.
    QVERIFY(QFile::rename(source, source + QStringLiteral(".orig")));
    ui.Choose(container);
    ui.Click("decryptButton");
    QVERIFY(ui.Working());
    QTRY_COMPARE_WITH_TIMEOUT(ui.prompts.CountTitled(QStringLiteral("Done")), 2, kJobTimeoutMs);
    QCOMPARE(ReadFile(source), original);
    QVERIFY(ui.Idle());
    QCOMPARE(ui.Progress(), 0);
    for (const RecordedBox& box : ui.prompts.boxes) {
        QVERIFY2(box.title != QStringLiteral("Error"), qPrintable(box.text));
    }
}

void MainDialogTest::toolOpensWhatTheDialogWrote_data() {
    QTest::addColumn<QString>("radio");
    QTest::addColumn<QString>("cipher");
    QTest::addColumn<QString>("passphrase");
    QTest::newRow("3-DES, short") << QStringLiteral("tripleDesRadio") << QStringLiteral("3des")
                                  << QStringLiteral("open sesame");
    // Longer than the limit in characters and, cut in the middle of a character, in bytes.
    QTest::newRow("IDEA, 60 two-byte characters") << QStringLiteral("ideaRadio") << QStringLiteral("idea")
                                                  << QStringLiteral("é").repeated(60);
}

void MainDialogTest::toolOpensWhatTheDialogWrote() {
    QFETCH(QString, radio);
    QFETCH(QString, cipher);
    QFETCH(QString, passphrase);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("letter.txt"));
    const QByteArray original = RandomBytes(1001, 5);
    QVERIFY(WriteFile(source, original));
    const QString passphraseFile = dir.filePath(QStringLiteral("passphrase"));
    QVERIFY(WriteFile(passphraseFile, passphrase.toUtf8() + '\n'));

    DialogUnderTest ui;
    ui.Click(radio.toLatin1().constData());
    ui.Choose(source);
    ui.TypeBoth(passphrase, passphrase);
    ui.Click("encryptButton");
    QTRY_COMPARE_WITH_TIMEOUT(ui.prompts.CountTitled(QStringLiteral("Done")), 1, kJobTimeoutMs);
    QVERIFY(QFile::rename(source, source + QStringLiteral(".orig")));

    QProcess tool;
    tool.start(QStringLiteral(MORVEX_CLI_BINARY),
               {QStringLiteral("decrypt"), QStringLiteral("--cipher"), cipher, QStringLiteral("--passphrase-file"),
                passphraseFile, QStringLiteral("--quiet"), source + QStringLiteral(".enc")});
    QVERIFY(tool.waitForFinished(30000));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    QCOMPARE(ReadFile(source), original);
}

void MainDialogTest::requestRefusalsInTheirOrder() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("notes.txt"));
    const QString upperCase = dir.filePath(QStringLiteral("notes.txt.ENC"));
    const QString inner = dir.filePath(QStringLiteral("notes.enc.txt"));
    for (const QString& path : {file, upperCase, inner}) {
        QVERIFY(WriteFile(path, QByteArrayLiteral("some text")));
    }
    const QString sixty = QString(60, QLatin1Char('x'));

    struct Case {
        const char* name;
        const char* radio;  // nothing chosen if null
        QString path;
        QString first;
        QString second;
        const char* button;
        QString expected;
    };
    const std::array cases{
        Case{"nothing chosen", nullptr, {}, {}, {}, "encryptButton",
             QStringLiteral("You must select an encryption algorithm first")},
        Case{"no algorithm, all else given", nullptr, file, QStringLiteral("pw"), QStringLiteral("pw"),
             "encryptButton", QStringLiteral("You must select an encryption algorithm first")},
        Case{"no file", "tripleDesRadio", {}, QStringLiteral("pw"), QStringLiteral("pw"), "encryptButton",
             QStringLiteral("You must select a file to encrypt first")},
        Case{"both fields empty", "ideaRadio", file, {}, {}, "encryptButton",
             QStringLiteral("You must type a passphrase first")},
        Case{"second field empty", "tripleDesRadio", file, QStringLiteral("pw"), {}, "encryptButton",
             QStringLiteral("You must retype the passphrase first")},
        Case{"mismatch", "tripleDesRadio", file, QStringLiteral("secret"), QStringLiteral("secrets"),
             "encryptButton", QStringLiteral("The passphrases you typed do not match")},
        Case{"case differs", "ideaRadio", file, QStringLiteral("Secret"), QStringLiteral("secret"),
             "encryptButton", QStringLiteral("The passphrases you typed do not match")},
        Case{"decrypt, nothing chosen", nullptr, {}, {}, {}, "decryptButton",
             QStringLiteral("You must select an encryption algorithm first")},
        Case{"decrypt, no file", "ideaRadio", {}, QStringLiteral("pw"), {}, "decryptButton",
             QStringLiteral("You must select a file to decrypt first")},
        Case{"decrypt, no passphrase", "ideaRadio", upperCase, {}, QStringLiteral("pw"), "decryptButton",
             QStringLiteral("You must type a passphrase first")},
        Case{"decrypt, upper-case suffix", "ideaRadio", upperCase, QStringLiteral("pw"), {}, "decryptButton",
             QStringLiteral("The file you selected is not an morvex encrypted file")},
        Case{"decrypt, suffix not last", "tripleDesRadio", inner, QStringLiteral("pw"), {}, "decryptButton",
             QStringLiteral("The file you selected is not an morvex encrypted file")},
        Case{"decrypt, plain name", "tripleDesRadio", file, sixty, {}, "decryptButton",
             QStringLiteral("The file you selected is not an morvex encrypted file")},
    };
    for (const Case& c : cases) {
        DialogUnderTest ui;
        if (c.radio != nullptr) {
            ui.Click(c.radio);
        }
        if (!c.path.isEmpty()) {
            ui.Choose(c.path);
        }
        ui.TypeBoth(c.first, c.second);
        ui.prompts.boxes.clear();
        ui.Click(c.button);
        QVERIFY2(ui.prompts.boxes.size() == 1, c.name);
        QVERIFY2(ui.prompts.boxes[0].text == c.expected, c.name);
        QVERIFY2(ui.prompts.boxes[0].title == QStringLiteral("Error"), c.name);
        QVERIFY2(ui.prompts.boxes[0].icon == MessageIcon::Information, c.name);
        QVERIFY2(ui.Idle() && !ui.dialog.State().running, c.name);
    }
    const QStringList left = QDir(dir.path()).entryList(QDir::Files);
    QCOMPARE(left.size(), 3);
}

void MainDialogTest::equalPrefixesOfMoreThanTheLimitMatch() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("a.txt"));
    QVERIFY(WriteFile(source, QByteArrayLiteral("abc")));
    const QString prefix(MainDialog::kPassphraseLimit, QLatin1Char('k'));

    DialogUnderTest ui;
    ui.Click("tripleDesRadio");
    ui.Choose(source);
    ui.TypeBoth(prefix + QStringLiteral("first tail"), prefix + QStringLiteral("other"));
    ui.Click("encryptButton");
    QVERIFY(ui.Working());
    QTRY_COMPARE_WITH_TIMEOUT(ui.prompts.CountTitled(QStringLiteral("Done")), 1, kJobTimeoutMs);
    QCOMPARE(ui.prompts.CountTitled(QStringLiteral("Error")), 0);
    QVERIFY(QFileInfo::exists(source + QStringLiteral(".enc")));
}

void MainDialogTest::qualityMeterAndLimitBox() {
    DialogUnderTest ui;
    auto* field = ui.Find<QLineEdit>("passphraseField");
    auto* meter = ui.Find<QProgressBar>("qualityMeter");
    // Readings worked out by hand from m x 100 / 55, truncated, with m at most 55.
    const std::array<std::pair<int, int>, 10> readings{{
        {0, 0}, {1, 1}, {11, 20}, {22, 40}, {28, 50}, {33, 60}, {44, 80}, {55, 100}, {56, 100}, {80, 100}}};
    QCOMPARE(meter->value(), 0);
    for (const auto& [length, reading] : readings) {
        while (field->text().size() < length) {
            QTest::keyClick(field, 'q');
        }
        QVERIFY2(meter->value() == reading, qPrintable(QStringLiteral("at %1 characters").arg(length)));
        const int expectedBoxes = length >= 56 ? 1 : 0;
        QVERIFY2(ui.prompts.CountTitled(kLimitTitle) == expectedBoxes, qPrintable(QString::number(length)));
        QCOMPARE(ui.dialog.State().passphrase.size(),
                 static_cast<std::size_t>(std::min(length, MainDialog::kPassphraseLimit)));
    }
    QCOMPARE(ui.prompts.boxes.back().icon, MessageIcon::Information);

    // Shortening from 80: the box comes back exactly when 56 is reached, and not at 57 or 55.
    while (field->text().size() > 57) {
        QTest::keyClick(field, Qt::Key_Backspace);
    }
    QCOMPARE(ui.prompts.CountTitled(kLimitTitle), 1);
    QTest::keyClick(field, Qt::Key_Backspace);
    QCOMPARE(ui.prompts.CountTitled(kLimitTitle), 2);
    QTest::keyClick(field, Qt::Key_Backspace);
    QCOMPARE(ui.prompts.CountTitled(kLimitTitle), 2);
    QCOMPARE(meter->value(), 100);

    // A paste that jumps from nothing past the limit says nothing; the second field never does.
    field->clear();
    QCOMPARE(meter->value(), 0);
    QGuiApplication::clipboard()->setText(QString(70, QLatin1Char('p')));
    field->paste();
    QCOMPARE(field->text().size(), 70);
    QCOMPARE(ui.prompts.CountTitled(kLimitTitle), 2);
    QCOMPARE(meter->value(), 100);
    QTest::keyClicks(ui.Find("retypeField"), QString(60, QLatin1Char('r')));
    QCOMPARE(ui.prompts.CountTitled(kLimitTitle), 2);
    QCOMPARE(ui.dialog.State().retype, std::string(55, 'r'));
}

void MainDialogTest::keptTextIsUtf8OfWholeCharacters() {
    DialogUnderTest ui;
    // Two-byte, three-byte and four-byte (surrogate pair in the field) characters beyond the limit.
    const std::array<QString, 3> characters{QStringLiteral("é"), QStringLiteral("€"),
                                            QString::fromUtf8("\xF0\x9F\x94\x91")};
    for (const QString& character : characters) {
        auto* field = ui.Find<QLineEdit>("passphraseField");
        field->setText(character.repeated(60));
        const std::string expected = character.repeated(MainDialog::kPassphraseLimit).toStdString();
        QCOMPARE(ui.dialog.State().passphrase, expected);
        QCOMPARE(ui.Find<QProgressBar>("qualityMeter")->value(), 100);
        field->setText(character.repeated(11));
        QCOMPARE(ui.Find<QProgressBar>("qualityMeter")->value(), 20);
    }
}

void MainDialogTest::choiceAndInformationBoxes() {
    DialogUnderTest ui;
    auto* idea = ui.Find<QRadioButton>("ideaRadio");
    auto* tripleDes = ui.Find<QRadioButton>("tripleDesRadio");
    QVERIFY(!idea->isChecked() && !tripleDes->isChecked());
    QCOMPARE(ui.dialog.State().algorithm, AlgorithmId::None);

    ui.Click("ideaRadio");
    ui.Click("ideaRadio");
    QCOMPARE(ui.prompts.CountTitled(QStringLiteral("License information")), 2);
    QVERIFY(ui.prompts.boxes[0].text.contains(QStringLiteral("patent")));
    QVERIFY(ui.prompts.boxes[0].text.contains(QStringLiteral("3-DES")));
    QCOMPARE(ui.dialog.State().algorithm, AlgorithmId::Idea);
    QVERIFY(idea->isChecked());

    ui.Click("tripleDesRadio");
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{2});
    QCOMPARE(ui.dialog.State().algorithm, AlgorithmId::TripleDes);
    QVERIFY(tripleDes->isChecked() && !idea->isChecked());

    ui.Click("qualityHelpButton");
    QCOMPARE(ui.prompts.boxes.back().title, QStringLiteral("What is Quality?"));
    QCOMPARE(ui.prompts.boxes.back().icon, MessageIcon::Question);
    QVERIFY(ui.prompts.boxes.back().text.startsWith(QStringLiteral("A passphrase with maximum quality")));
    ui.Click("warningButton");
    QCOMPARE(ui.prompts.boxes.back().title, QStringLiteral("Warning"));
    QCOMPARE(ui.prompts.boxes.back().icon, MessageIcon::Information);
    QVERIFY(ui.prompts.boxes.back().text.endsWith(QStringLiteral("on purpose into this program.")));
}

void MainDialogTest::pickerAndDropChooseTheFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString first = dir.filePath(QStringLiteral("first.txt"));
    const QString second = dir.filePath(QStringLiteral("second.txt"));
    QVERIFY(WriteFile(first, "1") && WriteFile(second, "2"));

    DialogUnderTest ui;
    ui.Choose(first);
    QCOMPARE(ui.prompts.pickerTitles.back(), QStringLiteral("Open file"));
    QCOMPARE(QString::fromStdString(ui.dialog.State().chosenPath), first);

    ui.prompts.pickerAnswers.emplace_back(std::nullopt);
    ui.Click("pickFileButton");
    QCOMPARE(QString::fromStdString(ui.dialog.State().chosenPath), first);

    // 250 characters are accepted, 251 refused with the earlier choice kept.
    const QString root = QStringLiteral("/");
    const QString at250 = root + QString(249, QLatin1Char('n'));
    const QString at251 = root + QString(250, QLatin1Char('n'));
    ui.Choose(at251);
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{1});
    QCOMPARE(ui.prompts.boxes[0].text, QStringLiteral("The pathname is too long"));
    QCOMPARE(ui.prompts.boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(QString::fromStdString(ui.dialog.State().chosenPath), first);
    ui.Choose(at250);
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(ui.dialog.State().chosenPath), at250);

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
    QCOMPARE(QString::fromStdString(ui.dialog.State().chosenPath), second);
    QVERIFY(!drop({QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
    QVERIFY(!drop({QUrl::fromLocalFile(dir.path())}));
    QVERIFY(!drop({QUrl(QStringLiteral("https://example.org/file.txt"))}));
    QCOMPARE(QString::fromStdString(ui.dialog.State().chosenPath), second);
    QCOMPARE(ui.prompts.boxes.size(), std::size_t{1});
}

namespace {

// Whether Qt's own file dialog shows the name in its current folder.
bool Lists(const QFileDialog& picker, const QString& name) {
    const auto* view = picker.findChild<QListView*>(QStringLiteral("listView"));
    if (view == nullptr || view->model() == nullptr) {
        return false;
    }
    const QAbstractItemModel& model = *view->model();
    for (int row = 0; row < model.rowCount(view->rootIndex()); ++row) {
        if (model.index(row, 0, view->rootIndex()).data().toString() == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

void MainDialogTest::realBoxesAndPicker() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("no-dot-in-this-name"));
    QVERIFY(WriteFile(file, "x"));
    MainDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Answers whatever modal window is up: message boxes with OK, the picker with the given file, or
    // with Cancel while no file is given.
    struct SeenBox {
        QString title;
        QMessageBox::Icon icon;
        qsizetype buttons;
        bool ownedByDialog;
    };
    std::vector<SeenBox> boxes;
    QStringList pickerTitles;
    QString pickerAnswer;
    QPointer<QFileDialog> lastPicker;
    int ticks = 0;
    QTimer answerer;
    answerer.setInterval(20);
    connect(&answerer, &QTimer::timeout, &dialog, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.push_back({box->windowTitle(), box->icon(), box->buttons().size(), box->parentWidget() == &dialog});
            box->button(QMessageBox::Ok)->click();
        } else if (auto* picker = qobject_cast<QFileDialog*>(modal)) {
            if (pickerTitles.isEmpty() || pickerTitles.back() != picker->windowTitle() || picker != lastPicker) {
                pickerTitles << picker->windowTitle();
                lastPicker = picker;
                ticks = 0;
                picker->setDirectory(dir.path());
            }
            // The answer is taken only once the picker lists it, which its filter must allow.
            if (!pickerAnswer.isEmpty() && !Lists(*picker, QFileInfo(pickerAnswer).fileName()) && ++ticks < 150) {
                return;
            }
            if (!pickerAnswer.isEmpty() && Lists(*picker, QFileInfo(pickerAnswer).fileName())) {
                // selectFile races the picker's own background listing and may be dropped; the
                // name typed into its file name field is what a user's Open would take.
                auto* nameField = picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                QVERIFY(nameField != nullptr);
                nameField->setText(QFileInfo(pickerAnswer).fileName());
                QMetaObject::invokeMethod(picker, "accept");
            } else {
                picker->reject();
            }
        }
    });
    answerer.start();
    QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("qualityHelpButton")), Qt::LeftButton);
    QTest::mouseClick(dialog.findChild<QRadioButton*>(QStringLiteral("ideaRadio")), Qt::LeftButton);
    QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("pickFileButton")), Qt::LeftButton);
    QVERIFY(dialog.State().chosenPath.empty());
    pickerAnswer = file;
    QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("pickFileButton")), Qt::LeftButton);
    answerer.stop();

    QCOMPARE(boxes.size(), std::size_t{2});
    QCOMPARE(boxes[0].title, QStringLiteral("What is Quality?"));
    QCOMPARE(boxes[0].icon, QMessageBox::Question);
    QCOMPARE(boxes[1].title, QStringLiteral("License information"));
    QCOMPARE(boxes[1].icon, QMessageBox::Information);
    for (const SeenBox& box : boxes) {
        QCOMPARE(box.buttons, qsizetype{1});
        QVERIFY(box.ownedByDialog);
    }
    QCOMPARE(pickerTitles, (QStringList{QStringLiteral("Open file"), QStringLiteral("Open file")}));
    QCOMPARE(QString::fromStdString(dialog.State().chosenPath), file);
}

void MainDialogTest::cancelMidJob_data() {
    QTest::addColumn<bool>("byEscape");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("Escape key") << true;
}

void MainDialogTest::cancelMidJob() {
    QFETCH(bool, byEscape);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("big.bin"));
    const QByteArray original = RandomBytes(kGatedJobBytes, 7);
    QVERIFY(WriteFile(source, original));

    GatedPlatform platform;
    DialogUnderTest ui(&platform);
    ui.Click("ideaRadio");
    ui.Choose(source);
    ui.TypeBoth(QStringLiteral("pw"), QStringLiteral("pw"));
    ui.Click("encryptButton");
    QVERIFY(ui.Working());
    QTRY_VERIFY(ui.Progress() > 0);
    if (byEscape) {
        QTest::keyClick(ui.Find("passphraseField"), Qt::Key_Escape);
    } else {
        ui.Click("cancelButton");
    }
    QVERIFY(ui.dialog.isVisible());
    QVERIFY(ui.dialog.State().cancelRequested.load());
    platform.Open();
    QTRY_COMPARE_WITH_TIMEOUT(ui.prompts.CountTitled(QStringLiteral("Canceled")), 1, kJobTimeoutMs);
    QCOMPARE(ui.prompts.boxes.back().text, QStringLiteral("Canceled"));
    QVERIFY(!QFileInfo::exists(source + QStringLiteral(".enc")));
    QCOMPARE(ReadFile(source), original);
    QVERIFY(ui.Idle());
    QCOMPARE(ui.Progress(), 0);
}

void MainDialogTest::dialogOutlivesItsJob() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("big.bin"));
    QVERIFY(WriteFile(source, RandomBytes(kGatedJobBytes, 3)));

    GatedPlatform platform;
    DialogUnderTest ui(&platform);
    ui.Click("tripleDesRadio");
    ui.Choose(source);
    ui.TypeBoth(QStringLiteral("pw"), QStringLiteral("pw"));
    ui.Click("encryptButton");
    QVERIFY(ui.Working());

    // Enter in a field, a click on the disabled Exit, and closing the window all leave the job running.
    QTest::keyClick(ui.Find("passphraseField"), Qt::Key_Return);
    QTest::keyClick(ui.Find("retypeField"), Qt::Key_Enter, Qt::KeypadModifier);
    ui.Click("exitButton");
    QVERIFY(ui.dialog.close() == false);
    QVERIFY(ui.dialog.isVisible());
    QCOMPARE(ui.prompts.boxes.back().title, QStringLiteral("Working"));
    QCOMPARE(ui.prompts.boxes.back().text, QStringLiteral("Working - you have to wait, or press Cancel before exiting"));
    QVERIFY(ui.dialog.State().running);
    QVERIFY(!ui.dialog.State().cancelRequested.load());
    // Everything but the four job buttons stays usable.
    for (const char* name : {"pickFileButton", "tripleDesRadio", "ideaRadio", "passphraseField", "retypeField",
                             "warningButton", "qualityHelpButton"}) {
        QVERIFY2(ui.Find(name)->isEnabled(), name);
    }
    QVERIFY(ui.Working());

    platform.Open();
    QTRY_COMPARE_WITH_TIMEOUT(ui.prompts.CountTitled(QStringLiteral("Done")), 1, kJobTimeoutMs);
    QVERIFY(QFileInfo::exists(source + QStringLiteral(".enc")));
    QVERIFY(ui.Idle());
    QVERIFY(ui.dialog.close());
    QVERIFY(!ui.dialog.isVisible());
    QCOMPARE(ui.dialog.result(), MainDialog::kCloseStatus);
}

void MainDialogTest::teardownDuringJobLeavesNoOutput() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("big.bin"));
    QVERIFY(WriteFile(source, RandomBytes(kGatedJobBytes, 11)));

    GatedPlatform platform;
    auto ui = std::make_unique<DialogUnderTest>(&platform);
    ui->Click("ideaRadio");
    ui->Choose(source);
    ui->TypeBoth(QStringLiteral("pw"), QStringLiteral("pw"));
    ui->Click("encryptButton");
    QVERIFY(ui->Working());
    // The gate opens only while the dialog is being destroyed, so the worker is certainly mid-job then.
    std::thread opener([&platform] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platform.Open();
    });
    ui.reset();
    opener.join();
    QVERIFY(!QFileInfo::exists(source + QStringLiteral(".enc")));
    QVERIFY(QFileInfo(source).size() == kGatedJobBytes);
}

void MainDialogTest::idleKeysAndExit() {
    {
        DialogUnderTest ui;
        auto* field = ui.Find<QLineEdit>("passphraseField");
        QTest::keyClicks(field, QStringLiteral("abc"));
        QTest::keyClick(field, Qt::Key_Escape);
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClick(&ui.dialog, Qt::Key_Return);
        QVERIFY(ui.dialog.isVisible());
        QVERIFY(ui.prompts.boxes.empty());
        QVERIFY(ui.Idle());
        QCOMPARE(field->text(), QStringLiteral("abc"));
        ui.Click("exitButton");
        QVERIFY(!ui.dialog.isVisible());
        QCOMPARE(ui.dialog.result(), MainDialog::kExitStatus);
    }
    {
        DialogUnderTest ui;
        QVERIFY(ui.dialog.close());
        QVERIFY(!ui.dialog.isVisible());
        QCOMPARE(ui.dialog.result(), MainDialog::kCloseStatus);
    }
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
    std::set<int> ids;
    const QRect inside = ui.dialog.rect();
    for (QWidget* control : ui.dialog.findChildren<QWidget*>()) {
        const QVariant id = control->property(kControlIdProperty);
        if (!id.isValid()) {
            continue;
        }
        const QByteArray name = control->objectName().toLatin1();
        ids.insert(id.toInt());
        QVERIFY2(!control->accessibleName().isEmpty(), name.constData());
        QVERIFY2(inside.contains(control->geometry()), name.constData());
        // Nothing, frames included, lies on top of a control and takes its clicks.
        QVERIFY2(ui.dialog.childAt(control->geometry().center()) == control, name.constData());
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            const int needed = button->fontMetrics().horizontalAdvance(button->text());
            QVERIFY2(needed <= control->width(), name.constData());
        }
    }
    for (QLabel* label : ui.dialog.findChildren<QLabel*>()) {
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        QVERIFY2(needed <= label->width() && inside.contains(label->geometry()), qPrintable(label->text()));
    }
    QVERIFY(!ui.dialog.windowIcon().pixmap(32).isNull());
    QVERIFY(ids == (std::set<int>{1000, 1001, 1002, 1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1020, 1021}));
}

void MainDialogTest::tabOrderFollowsTheLayout() {
    DialogUnderTest ui;
    ui.dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&ui.dialog));
    QTRY_COMPARE(QApplication::focusWidget(), ui.Find("pickFileButton"));
    const QStringList expected{QStringLiteral("passphraseField"), QStringLiteral("retypeField"),
                               QStringLiteral("encryptButton"),   QStringLiteral("decryptButton"),
                               QStringLiteral("warningButton"),   QStringLiteral("qualityHelpButton"),
                               QStringLiteral("exitButton"),      QStringLiteral("pickFileButton")};
    QStringList seen;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);

    // Having had the focus makes no button the default: Enter in a field presses nothing, while Enter on
    // a focused button presses that one.
    for (QPushButton* button : ui.dialog.findChildren<QPushButton*>()) {
        QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
    }
    ui.Find("passphraseField")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(ui.prompts.pickerTitles.empty() && ui.prompts.boxes.empty());
    ui.Find("pickFileButton")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(ui.prompts.pickerTitles.size(), std::size_t{1});
    QVERIFY(ui.dialog.isVisible());
}

}  // namespace morvex::test
