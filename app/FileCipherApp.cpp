#include "app/FileCipherApp.h"

#include <cstdio>

#include <QIcon>
#include <QTimer>

#include "app/DialogArguments.h"
#include "app/MainDialog.h"

namespace morvex {

std::optional<int> FileCipherApp::AnswerWithoutWindow(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    switch (ParseDialogArguments(arguments).action) {
        case DialogArguments::Action::Help:
            std::fputs(DialogUsageText().toLocal8Bit().constData(), stdout);
            return 0;
        case DialogArguments::Action::Version:
            std::fputs("morvex " MORVEX_VERSION "\n", stdout);
            return 0;
        case DialogArguments::Action::Run:
        case DialogArguments::Action::Refuse:
            // A refusal waits for Run: until Qt has taken its own options (-style ...) they look unknown.
            break;
    }
    return std::nullopt;
}

FileCipherApp::FileCipherApp(int& argc, char** argv) : application(argc, argv) {
    QApplication::setApplicationName(QStringLiteral("morvex"));
    QApplication::setApplicationVersion(QStringLiteral(MORVEX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("morvex"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/morvex/morvex.png")));
    // Qt's styles already draw the controls raised or sunken; there is no separate look to switch on.
}

int FileCipherApp::Run() {
    const DialogArguments arguments = ParseDialogArguments(QApplication::arguments().mid(1));
    if (arguments.action == DialogArguments::Action::Refuse) {
        std::fprintf(stderr, "morvex: %s\nTry 'morvex --help' for more.\n",
                     arguments.problem.toLocal8Bit().constData());
        return kUsageStatus;
    }
    MainDialog dialog;
    if (!arguments.file.isEmpty()) {
        // Once the loop runs, so that a refusal of the path is a box over the visible dialog.
        QTimer::singleShot(0, &dialog, [&dialog, file = arguments.file] { dialog.ChoosePath(file); });
    }
    return dialog.exec();
}

}  // namespace morvex
