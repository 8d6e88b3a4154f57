#include <QApplication>
#include <QTest>

#include "tests/app/MainDialogTest.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    morvex::test::MainDialogTest test;
    return QTest::qExec(&test, argc, argv);
}
