#pragma once

#include <QObject>

namespace morvex::test {

// The Qt window's wiring and layout: the rules themselves are the dialog library's and are tested
// there. Recording prompts and real files, and the real program's exit statuses, command line and file argument.
class MainDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void roundTrip_data();
    void roundTrip();
    void realBoxesAndPicker();
    void dropOnAFieldChoosesTheFile();
    void keyboard();
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
