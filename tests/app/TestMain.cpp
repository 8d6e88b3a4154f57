#include <QApplication>
#include <QTest>

#include "tests/app/MainDialogTest.h"
#include "tests/app/ProcessExitTest.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    int failures = 0;
    {
        morvex::test::MainDialogTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        morvex::test::ProcessExitTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
