// The dialog test's slots that run the real morvex binary on a private X server: ended from outside, and
// started on a file as a file manager starts it.
#include "tests/app/MainDialogTest.h"

#include <optional>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "app/MainDialog.h"

#ifdef MORVEX_HAVE_XCB
#include <xcb/xcb.h>

#include <cstring>
#endif

namespace morvex::test {

namespace {

QProcessEnvironment OnDisplay(const QString& display) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return environment;
}

// Runs xdotool on the display; its standard output, or nothing if it failed.
std::optional<QString> Xdotool(const QString& display, const QString& arguments) {
    QProcess tool;
    tool.setProcessEnvironment(OnDisplay(display));
    tool.start(QStringLiteral("xdotool"), arguments.split(u' '));
    if (!tool.waitForFinished(15000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput());
}

#ifdef MORVEX_HAVE_XCB
// What the window manager sends when the user clicks the title bar's close button.
bool SendCloseRequest(const QString& display, quint32 window) {
    xcb_connection_t* connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    const auto atom = [connection](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr);
        const xcb_atom_t value = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return value;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    const bool sent = xcb_connection_has_error(connection) == 0 && event.type != XCB_ATOM_NONE &&
                      event.data.data32[0] != XCB_ATOM_NONE;
    // Checked, so that the server has handled the request before the connection closes: an event
    // sent on a connection closed at once was sometimes never delivered.
    xcb_generic_error_t* error = xcb_request_check(
        connection,
        xcb_send_event_checked(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event)));
    const bool delivered = error == nullptr;
    std::free(error);
    xcb_disconnect(connection);
    return sent && delivered;
}
#endif

// A private X server, stopped when this goes out of scope; display is empty if it did not start.
class PrivateDisplay {
public:
    PrivateDisplay() {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty()) {
            return;
        }
        server.start(xvfb, QStringLiteral("-displayfd 1 -screen 0 1024x768x24 -nolisten tcp").split(u' '));
        QByteArray announced;
        while (!announced.contains('\n') && server.waitForReadyRead(10000)) {
            announced += server.readAllStandardOutput();
        }
        if (announced.contains('\n')) {
            display = QStringLiteral(":") + QString::fromLatin1(announced.trimmed());
        }
    }
    ~PrivateDisplay() {
        server.terminate();
        server.waitForFinished(5000);
    }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    QString display;

private:
    QProcess server;
};

[[nodiscard]] bool HaveXTools() {
    return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
}

// The first visible window whose title matches, waiting for it; empty if none appeared.
QString WaitForWindow(const QString& display, const QString& titlePattern) {
    const std::optional<QString> found =
        Xdotool(display, QStringLiteral("search --sync --onlyvisible --name ") + titlePattern);
    return found ? found->split(QLatin1Char('\n'), Qt::SkipEmptyParts).value(0) : QString();
}

const QString kDialogTitle = QStringLiteral("^morvex.1\\.1$");

}  // namespace

void MainDialogTest::exitStatus_data() {
    QTest::addColumn<bool>("pressExit");
    QTest::addColumn<int>("status");
    QTest::newRow("Exit button") << true << 1;
    QTest::newRow("window closed while idle") << false << 0;
}

// A QProcess still running when a check fails half-way is killed as it goes out of scope.
void MainDialogTest::exitStatus() {
#ifndef MORVEX_HAVE_XCB
    QSKIP("built without the X client library");
#else
    QFETCH(bool, pressExit);
    QFETCH(int, status);
    if (!HaveXTools()) {
        QSKIP("needs Xvfb and xdotool");
    }
    const PrivateDisplay x;
    QVERIFY2(!x.display.isEmpty(), "the X server did not announce its display");
    const QString& display = x.display;

    QProcess app;
    app.setProcessEnvironment(OnDisplay(display));
    app.start(QStringLiteral(MORVEX_APP_BINARY), QStringList());
    const QString window = WaitForWindow(display, kDialogTitle);
    QVERIFY2(!window.isEmpty(), "the dialog did not appear");
    QTest::qWait(300);
    QVERIFY2(app.state() == QProcess::Running, "the program ended by itself");
    bool ended = false;
    if (pressExit) {
        // From the first control, seven steps along the tab order reach Exit.
        QVERIFY(Xdotool(display, QStringLiteral("windowfocus --sync ") + window).has_value());
        QVERIFY(
            Xdotool(display, QStringLiteral("key --delay 60 Tab Tab Tab Tab Tab Tab Tab space")).has_value());
        ended = app.waitForFinished(15000);
    } else {
        QVERIFY(SendCloseRequest(display, window.toUInt()));
        ended = app.waitForFinished(15000);
    }
    QVERIFY2(ended, "the program did not end");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), status);
#endif
}

// The file a file manager hands over: a pathname past the limit is refused with the picker's box, and
// a container given this way decrypts once the user adds the cipher and the passphrase.
void MainDialogTest::fileArgument() {
    if (!HaveXTools()) {
        QSKIP("needs Xvfb and xdotool");
    }
    QTemporaryDir dir;
    const QString plainPath = dir.filePath(QStringLiteral("letter.txt"));
    const QString passphrasePath = dir.filePath(QStringLiteral("passphrase"));
    const QByteArray plain = "opened from the file manager\n";
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(write(plainPath, plain) && write(passphrasePath, "pw\n"));
    QProcess cli;
    cli.start(QStringLiteral(MORVEX_CLI_BINARY),
              {QStringLiteral("encrypt"), QStringLiteral("--cipher"), QStringLiteral("3des"),
               QStringLiteral("--passphrase-file"), passphrasePath, QStringLiteral("--quiet"), plainPath});
    QVERIFY(cli.waitForFinished(15000) && cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0);
    QVERIFY(QFile::remove(plainPath));

    const PrivateDisplay x;
    QVERIFY2(!x.display.isEmpty(), "the X server did not announce its display");
    {
        QProcess app;
        app.setProcessEnvironment(OnDisplay(x.display));
        app.start(QStringLiteral(MORVEX_APP_BINARY), {dir.filePath(QString(251, QLatin1Char('n')))});
        QVERIFY2(!WaitForWindow(x.display, QStringLiteral("^Error$")).isEmpty(),
                 "no refusal of the long path");
        app.kill();
        app.waitForFinished(5000);
    }

    QProcess app;
    app.setProcessEnvironment(OnDisplay(x.display));
    app.start(QStringLiteral(MORVEX_APP_BINARY), {plainPath + QStringLiteral(".enc")});
    const QString window = WaitForWindow(x.display, kDialogTitle);
    QVERIFY2(!window.isEmpty(), "the dialog did not appear");
    // The radio buttons take no keyboard focus, so 3-DES is clicked: at its indicator, placed as on a
    // dialog laid out here and scaled to the real window, whose font may differ.
    const std::optional<QString> geometry =
        Xdotool(x.display, QStringLiteral("getwindowgeometry --shell ") + window);
    QVERIFY(geometry.has_value());
    const auto field = [&geometry](const char* name) {
        const QString key = QString::fromLatin1(name) + u'=';
        for (const QString& line : geometry->split(u'\n')) {
            if (line.startsWith(key)) {
                return line.mid(key.size()).toDouble();
            }
        }
        return 0.0;
    };
    const MainDialog laidOut;
    const QRect radio = laidOut.findChild<QRadioButton*>(QStringLiteral("tripleDesRadio"))->geometry();
    const double scaleX = field("WIDTH") / laidOut.width();
    const double scaleY = field("HEIGHT") / laidOut.height();
    const QPoint indicator(qRound((radio.left() + radio.height() / 2) * scaleX),
                           qRound(radio.center().y() * scaleY));
    QVERIFY(Xdotool(x.display, QStringLiteral("windowfocus --sync ") + window).has_value());
    QVERIFY(Xdotool(x.display, QStringLiteral("mousemove --window %1 %2 %3 click 1")
                                   .arg(window)
                                   .arg(indicator.x())
                                   .arg(indicator.y()))
                .has_value());
    // From the radio button: the passphrase, then past the second field and Encrypt to Decrypt.
    QVERIFY(Xdotool(x.display, QStringLiteral("key --delay 60 Tab p w Tab Tab Tab space")).has_value());
    const QString box = WaitForWindow(x.display, QStringLiteral("^(Done|Error)$"));
    QVERIFY2(!box.isEmpty(), "no report of the job");
    QCOMPARE(Xdotool(x.display, QStringLiteral("getwindowname ") + box).value_or(QString()).trimmed(),
             QStringLiteral("Done"));
    QFile decrypted(plainPath);
    QVERIFY(decrypted.open(QIODevice::ReadOnly));
    QCOMPARE(decrypted.readAll(), plain);
    app.kill();
    app.waitForFinished(5000);
}

}  // namespace morvex::test
