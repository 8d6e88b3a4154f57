#include "app/FileCipherApp.h"

#include <QIcon>

#include "app/MainDialog.h"

namespace morvex {

FileCipherApp::FileCipherApp(int& argc, char** argv) : application(argc, argv) {
    QApplication::setApplicationName(QStringLiteral("morvex"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    QApplication::setDesktopFileName(QStringLiteral("morvex"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/morvex/morvex.png")));
    // Qt's styles already draw the controls raised or sunken; there is no separate look to switch on.
}

int FileCipherApp::Run() {
    MainDialog dialog;
    return dialog.exec();
}

}  // namespace morvex
