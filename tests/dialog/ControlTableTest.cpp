// The dialog template as data: what every window builds its controls from.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dialog/ControlTable.h"

namespace morvex::test {

TEST(ControlTable, TemplateOrderTabStopsShortcutsAndNames) {
    const DialogTemplate& dialog = MainDialogTemplate();
    EXPECT_EQ(dialog.title, "morvex 1.1");
    EXPECT_EQ(dialog.width, 320);
    EXPECT_EQ(dialog.height, 196);

    // The controls with an id, in the template's order, which is the tab order too.
    const std::vector<std::pair<int, std::string_view>> expected{
        {1002, "Select File To Encrypt / Decrypt"},
        {1000, "3-DES"},
        {1001, "IDEA"},
        {1005, ""},
        {1010, ""},
        {1006, "Encrypt"},
        {1007, "Decrypt"},
        {1021, "Warning"},
        {1020, "?"},
        {1009, "Exit"},
        {1012, "Cancel"},
        {1008, ""},
        {1011, ""},
    };
    const std::set<int> tabStops{1002, 1005, 1010, 1006, 1007, 1021, 1020, 1009, 1012};
    std::vector<std::pair<int, std::string_view>> seen;
    std::set<std::string_view> names;
    for (const ControlSpec& control : MainDialogControls()) {
        const int id = static_cast<int>(control.id);
        EXPECT_TRUE(names.insert(control.name).second) << control.name;
        EXPECT_EQ((control.styles & kTabStop) != 0, tabStops.count(id) == 1) << control.name;
        EXPECT_LE(control.rect.left + control.rect.width, dialog.width) << control.name;
        EXPECT_LE(control.rect.top + control.rect.height, dialog.height) << control.name;
        if (control.id == ControlId::None) {
            EXPECT_EQ(control.shortcut, 0) << control.name;
            continue;
        }
        seen.emplace_back(id, control.caption);
        EXPECT_FALSE(control.accessibleName.empty()) << control.name;
        EXPECT_EQ(&FindControl(control.id), &control);
        // Only Cancel starts disabled; the radio buttons are reached by their shortcuts alone.
        EXPECT_EQ((control.styles & kDisabled) != 0, control.id == ControlId::CancelButton) << control.name;
        EXPECT_EQ(control.kind == ControlKind::RadioButton, control.shortcut != 0) << control.name;
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(MainDialogControls().size(), 22U);
    EXPECT_EQ(FindControl(ControlId::TripleDesRadio).shortcut, '3');
    EXPECT_EQ(FindControl(ControlId::IdeaRadio).shortcut, 'I');
    EXPECT_EQ(FindControl(ControlId::PassphraseField).kind, ControlKind::PasswordEdit);
    EXPECT_EQ(FindControl(ControlId::RetypeField).kind, ControlKind::PasswordEdit);
}

}  // namespace morvex::test
