#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace morvex {

// The dialog's controls by their numeric identifiers.
enum class ControlId : int {
    None = -1,  // a static control: a label or a group box
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

enum class ControlKind {
    PushButton,
    RadioButton,  // automatic: it holds its own check mark
    PasswordEdit,
    ProgressBar,  // range 0 to 100, with a border
    GroupBox,
    Label,
};

// Style details beyond the kind.
enum ControlStyle : std::uint32_t {
    kNoStyle = 0,
    kTabStop = 1U << 0,
    kCentred = 1U << 1,       // caption centred both ways
    kSunkenEdge = 1U << 2,    // a thin sunken edge
    kNoAutoScroll = 1U << 3,  // an edit that takes only as many characters as fit its width
    kDisabled = 1U << 4,      // disabled at creation
};

// A rectangle in dialog units: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its height.
struct DialogRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct ControlSpec {
    ControlId id;
    ControlKind kind;
    std::string_view caption;
    DialogRect rect;
    std::uint32_t styles;
    std::string_view name;            // a stable name for tests and tools
    std::string_view accessibleName;  // what a screen reader says; empty for static controls
    char shortcut = 0;                // Alt with this key chooses the control; its caption stays as it is
    ControlId buddy = ControlId::None;  // the control a label names
};

// The dialog template, 102.
struct DialogTemplate {
    int resourceId;
    std::string_view title;
    int width;
    int height;
    std::string_view fontName;
    int fontPoints;
};

[[nodiscard]] const DialogTemplate& MainDialogTemplate() noexcept;

// Every control in the template's order, which is also the tab order.
[[nodiscard]] std::span<const ControlSpec> MainDialogControls() noexcept;

[[nodiscard]] const ControlSpec& FindControl(ControlId id) noexcept;

}  // namespace morvex
