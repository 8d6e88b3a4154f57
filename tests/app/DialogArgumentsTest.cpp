// The dialog test's slots for the command line: how it is read, and what the real program answers
// without opening a window.
#include "tests/app/MainDialogTest.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include "app/DialogArguments.h"

namespace morvex::test {

using Action = DialogArguments::Action;

void MainDialogTest::dialogArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("fileOrProblem");
    QTest::newRow("none") << QStringList{} << Action::Run << QString();
    QTest::newRow("one file") << QStringList{"a.enc"} << Action::Run << "a.enc";
    QTest::newRow("lone dash is a file") << QStringList{"-"} << Action::Run << "-";
    QTest::newRow("after --") << QStringList{"--", "-x"} << Action::Run << "-x";
    QTest::newRow("--help after --") << QStringList{"--", "--help"} << Action::Run << "--help";
    QTest::newRow("--help beside a refusal")
        << QStringList{"--bogus", "a", "b", "-h"} << Action::Help << QString();
    QTest::newRow("--version after a file") << QStringList{"a", "--version"} << Action::Version << QString();
    QTest::newRow("unknown option") << QStringList{"a", "--bogus"} << Action::Refuse
                                    << "unknown option '--bogus'";
    QTest::newRow("two files") << QStringList{"a", "--", "b"} << Action::Refuse
                               << "only one file can be given";
    QTest::newRow("empty name") << QStringList{""} << Action::Refuse << "the file name is empty";
}

void MainDialogTest::dialogArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QString, fileOrProblem);
    const DialogArguments parsed = ParseDialogArguments(arguments);
    QCOMPARE(parsed.action, action);
    QCOMPARE(action == Action::Refuse ? parsed.problem : parsed.file, fileOrProblem);
}

void MainDialogTest::answersWithoutWindow_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    // The start of standard output, or a line of standard error if refused.
    QTest::addColumn<QString>("output");
    QTest::newRow("--version") << QStringList{"--version"} << 0
                               << QStringLiteral("morvex " MORVEX_VERSION "\n");
    QTest::newRow("--help") << QStringList{"x.enc", "--help"} << 0
                            << QStringLiteral("Usage: morvex [FILE]\n");
    QTest::newRow("Qt's option taken, two files refused")
        << QStringList{"-style", "fusion", "a", "b"} << 2
        << QStringLiteral("morvex: only one file can be given\n");
}

// Help and version run where no display exists: had Qt been asked for one, the program would abort.
// Refusals need Qt to have taken its own options first, so they run on the offscreen platform.
void MainDialogTest::answersWithoutWindow() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"),
                       status == 0 ? QStringLiteral("xcb") : QStringLiteral("offscreen"));
    QProcess app;
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(MORVEX_APP_BINARY), arguments);
    QVERIFY2(app.waitForFinished(15000), "the program did not end by itself");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), status);
    const QByteArray out = app.readAllStandardOutput();
    const QByteArray err = app.readAllStandardError();
    // Qt may put notes of its own on standard error before the refusal.
    const bool found =
        status == 0 ? out.startsWith(output.toLocal8Bit()) : err.contains("\n" + output.toLocal8Bit());
    QVERIFY2(found, (out + err).constData());
    if (status != 0) {
        QVERIFY(out.isEmpty());
    }
}

}  // namespace morvex::test
