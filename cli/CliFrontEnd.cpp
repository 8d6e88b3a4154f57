#include "cli/CliFrontEnd.h"

namespace morvex {

void CliFrontEnd::ShowMessage(const std::string& text, const std::string& /*title*/, MessageIcon /*icon*/) {
    lastMessage_ = text;
}

void CliFrontEnd::SetControlsWorking(bool working) {
    // No controls to switch: files run one after the other. The flag only tells the progress line
    // from the emptied bar that follows a finished job, which would redraw it at 0%.
    working_ = working;
}

void CliFrontEnd::SetProgress(int percent) {
    if (working_) {
        progress_.Update(percent, ProgressLine::Clock::now());
    }
}

void CliFrontEnd::BeginFile() {
    lastMessage_.clear();
}

}  // namespace morvex
