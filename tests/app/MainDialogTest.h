#pragma once

#include <QObject>

namespace morvex::test {

// The dialog driven as a user drives it, on recording prompts and real files; and the real program's
// exit statuses, command line and file argument.
class MainDialogTest : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void requestRefusalsInTheirOrder();
    void qualityMeterAndLimitBox();
    void pickerAndDropChooseTheFile();
    void realBoxesAndPicker();
    void gatedJob_data();
    void gatedJob();
    void idleDialog();
    void layoutAtTwoFontSizes_data();
    void layoutAtTwoFontSizes();
    void exitStatus_data();
    void exitStatus();
    void fileArgument();
    void dialogArguments_data();
    void dialogArguments();
    void answersWithoutWindow_data();
    void answersWithoutWindow();
};

}  // namespace morvex::test
