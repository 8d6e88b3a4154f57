#pragma once

#include <string>

#include "cli/ProgressLine.h"
#include "jobs/JobFrontEnd.h"

namespace morvex {

// The job engine's front end on a terminal or in a script: there are no controls to switch, the
// progress bar is the progress line, and a message is kept for the one-line report of its file.
class CliFrontEnd final : public JobFrontEnd {
public:
    explicit CliFrontEnd(ProgressLine& progress) : progress_(progress) {}

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override;
    void SetControlsWorking(bool working) override;
    void SetProgress(int percent) override;

    // Forgets the previous file's message.
    void BeginFile();
    [[nodiscard]] const std::string& LastMessage() const { return lastMessage_; }

private:
    ProgressLine& progress_;
    std::string lastMessage_;
    bool working_ = false;
};

}  // namespace morvex
