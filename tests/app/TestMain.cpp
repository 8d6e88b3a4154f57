#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QTest>

#include "tests/app/MainDialogTest.h"
#include "tests/app/ProcessExitTest.h"

namespace {

// Runs one test class with the command line, minus test function names that belong to another class,
// so that "morvex-app-tests cancelMidJob" selects a function wherever it lives.
int Run(QObject& test, int argc, char** argv) {
    QList<char*> arguments{argv[0]};
    bool namedAny = false;
    bool namedOwn = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument.startsWith('-') || (i > 1 && QByteArray(argv[i - 1]).startsWith('-') &&
                                         !QByteArray(argv[i - 1]).contains('='))) {
            arguments << argv[i];
            continue;
        }
        namedAny = true;
        const QByteArray function = argument.split(':').constFirst();
        if (test.metaObject()->indexOfMethod(function + "()") >= 0) {
            namedOwn = true;
            arguments << argv[i];
        }
    }
    if (namedAny && !namedOwn) {
        return 0;
    }
    return QTest::qExec(&test, static_cast<int>(arguments.size()), arguments.data());
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    int failures = 0;
    {
        morvex::test::MainDialogTest test;
        failures += Run(test, argc, argv);
    }
    {
        morvex::test::ProcessExitTest test;
        failures += Run(test, argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
