#include "dialog/ControlTable.h"

#include <algorithm>
#include <array>

#include "dialog/Texts.h"

namespace morvex {

namespace {

using enum ControlId;
using K = ControlKind;

constexpr DialogTemplate kTemplate{102, kWindowTitle, 320, 196, "MS Sans Serif", 8};

// The radio buttons take no tab stop, so Alt+3 and Alt+I are the keyboard's way to them; their
// captions show no mnemonic, as in the template.
constexpr std::array kControls{
    ControlSpec{PickFileButton, K::PushButton, "Select File To Encrypt / Decrypt", {77, 50, 123, 14}, kTabStop,
                "pickFileButton", "Select file"},
    ControlSpec{TripleDesRadio, K::RadioButton, "3-DES", {229, 53, 37, 10}, kNoStyle, "tripleDesRadio", "Triple-DES",
                '3'},
    ControlSpec{IdeaRadio, K::RadioButton, "IDEA", {273, 53, 33, 10}, kNoStyle, "ideaRadio", "IDEA", 'I'},
    ControlSpec{PassphraseField, K::PasswordEdit, "", {54, 97, 259, 12}, kTabStop | kNoAutoScroll, "passphraseField",
                "Passphrase"},
    ControlSpec{RetypeField, K::PasswordEdit, "", {54, 122, 259, 12}, kTabStop | kNoAutoScroll, "retypeField",
                "Retype passphrase"},
    ControlSpec{EncryptButton, K::PushButton, "Encrypt", {203, 175, 50, 14}, kTabStop, "encryptButton", "Encrypt"},
    ControlSpec{DecryptButton, K::PushButton, "Decrypt", {263, 175, 50, 14}, kTabStop, "decryptButton", "Decrypt"},
    ControlSpec{WarningButton, K::PushButton, "Warning", {13, 50, 50, 14}, kTabStop, "warningButton", "Warning"},
    ControlSpec{QualityHelpButton, K::PushButton, "?", {36, 75, 11, 12}, kTabStop | kCentred | kSunkenEdge,
                "qualityHelpButton", "What is Quality?"},
    ControlSpec{ExitButton, K::PushButton, "Exit", {7, 175, 50, 14}, kTabStop, "exitButton", "Exit"},
    ControlSpec{CancelButton, K::PushButton, "Cancel", {69, 175, 50, 14}, kTabStop | kDisabled, "cancelButton",
                "Cancel"},
    ControlSpec{QualityMeter, K::ProgressBar, "", {54, 76, 259, 10}, kNoStyle, "qualityMeter", "Quality"},
    ControlSpec{None, K::GroupBox, "Encryption Algorithm", {216, 42, 97, 26}, kNoStyle, "algorithmGroup", ""},
    ControlSpec{None, K::Label, "Passphrase:", {7, 99, 40, 8}, kNoStyle, "passphraseLabel", "", 0, PassphraseField},
    ControlSpec{None, K::Label, "Quality:", {7, 77, 26, 8}, kNoStyle, "qualityLabel", "", 0, QualityMeter},
    ControlSpec{None, K::Label, "passphrase:", {7, 126, 40, 8}, kNoStyle, "retypeLabel2", "", 0, RetypeField},
    ControlSpec{None, K::Label, "Retype", {7, 117, 24, 8}, kNoStyle, "retypeLabel1", "", 0, RetypeField},
    ControlSpec{ProgressBar, K::ProgressBar, "", {54, 147, 259, 10}, kNoStyle, "progressBar", "Progress"},
    ControlSpec{None, K::Label, "Progress:", {7, 147, 43, 8}, kNoStyle, "progressLabel", "", 0, ProgressBar},
    ControlSpec{None, K::Label, kCreditLine1, {61, 15, 201, 12}, kCentred, "creditLine1", ""},
    ControlSpec{None, K::Label, kCreditLine2, {110, 27, 111, 8}, kCentred, "creditLine2", ""},
    ControlSpec{None, K::GroupBox, "", {7, 7, 306, 32}, kNoStyle, "creditFrame", ""},
};

}  // namespace

const DialogTemplate& MainDialogTemplate() noexcept { return kTemplate; }

std::span<const ControlSpec> MainDialogControls() noexcept { return kControls; }

const ControlSpec& FindControl(ControlId id) noexcept {
    const auto found = std::find_if(kControls.begin(), kControls.end(), [id](const ControlSpec& c) { return c.id == id; });
    return found != kControls.end() ? *found : kControls.front();
}

}  // namespace morvex
