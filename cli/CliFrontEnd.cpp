#include "cli/CliFrontEnd.h"

namespace morvex {

void CliFrontEnd::ShowMessage(const std::string& text, const std::string& /*title*/, MessageIcon /*icon*/) {
    lastMessage_ = text;
}

void CliFrontEnd::SetControlsWorking(bool /*working*/) {
    // The tool has no controls: one file at a time is guaranteed by running them in sequence.
}

void CliFrontEnd::SetProgress(int percent) {
    progress_.Update(percent, ProgressLine::Clock::now());
}

void CliFrontEnd::BeginFile() {
    lastMessage_.clear();
}

}  // namespace morvex
