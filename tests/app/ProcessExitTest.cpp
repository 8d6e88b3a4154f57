// The dialog test's slots that run the real morvex binary on a private X server and end it from outside.
#include "tests/app/MainDialogTest.h"

#include <optional>

#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

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
    xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
    xcb_disconnect(connection);
    return sent;
}
#endif

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
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        QSKIP("needs Xvfb and xdotool");
    }
    QProcess server;
    server.start(xvfb, QStringLiteral("-displayfd 1 -screen 0 1024x768x24 -nolisten tcp").split(u' '));
    const auto stopServer = qScopeGuard([&server] {
        server.terminate();
        server.waitForFinished(5000);
    });
    QByteArray announced;
    while (!announced.contains('\n') && server.waitForReadyRead(10000)) {
        announced += server.readAllStandardOutput();
    }
    QVERIFY2(announced.contains('\n'), "the X server did not announce its display");
    const QString display = QStringLiteral(":") + QString::fromLatin1(announced.trimmed());

    QProcess app;
    app.setProcessEnvironment(OnDisplay(display));
    app.start(QStringLiteral(MORVEX_APP_BINARY), QStringList());
    const std::optional<QString> found =
        Xdotool(display, QStringLiteral("search --sync --onlyvisible --name ^morvex.1\\.1$"));
    QVERIFY2(found.has_value(), "the dialog did not appear");
    const QString window = found->split(QLatin1Char('\n'), Qt::SkipEmptyParts).value(0);
    QTest::qWait(300);
    QVERIFY2(app.state() == QProcess::Running, "the program ended by itself");
    if (pressExit) {
        // From the first control, seven steps along the tab order reach Exit.
        QVERIFY(Xdotool(display, QStringLiteral("windowfocus --sync ") + window).has_value());
        QVERIFY(
            Xdotool(display, QStringLiteral("key --delay 60 Tab Tab Tab Tab Tab Tab Tab space")).has_value());
    } else {
        QVERIFY(SendCloseRequest(display, window.toUInt()));
    }
    QVERIFY2(app.waitForFinished(15000), "the program did not end");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), status);
#endif
}

}  // namespace morvex::test
