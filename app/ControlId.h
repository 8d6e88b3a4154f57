#pragma once

namespace morvex {

// The dialog's controls by their numeric identifiers; each widget keeps its own under the
// property kControlIdProperty, so tests and tools can tell them apart by number as well as by name.
enum class ControlId : int {
    TripleDesRadio = 1000,
    IdeaRadio = 1001,
    PickFileButton = 1002,
    PassphraseField = 1005,
    EncryptButton = 1006,
    DecryptButton = 1007,
    QualityMeter = 1008,
    ExitButton = 1009,
    RetypeField = 1010,
    ProgressBar = 1011,
    CancelButton = 1012,
    QualityHelpButton = 1020,
    WarningButton = 1021,
};

inline constexpr const char* kControlIdProperty = "controlId";

}  // namespace morvex
