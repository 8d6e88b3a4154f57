#pragma once

#include <QObject>

namespace morvex::test {

// The dialog driven as a user drives it, on recording prompts and real files.
class MainDialogTest : public QObject {
    Q_OBJECT

private slots:
    void roundTripThroughTheDialog_data();
    void roundTripThroughTheDialog();
    void toolOpensWhatTheDialogWrote_data();
    void toolOpensWhatTheDialogWrote();
    void requestRefusalsInTheirOrder();
    void equalPrefixesOfMoreThanTheLimitMatch();
    void qualityMeterAndLimitBox();
    void keptTextIsUtf8OfWholeCharacters();
    void choiceAndInformationBoxes();
    void pickerAndDropChooseTheFile();
    void realBoxesAndPicker();
    void cancelMidJob_data();
    void cancelMidJob();
    void dialogOutlivesItsJob();
    void teardownDuringJobLeavesNoOutput();
    void idleKeysAndExit();
    void layoutAtTwoFontSizes_data();
    void layoutAtTwoFontSizes();
    void tabOrderFollowsTheLayout();
};

}  // namespace morvex::test
