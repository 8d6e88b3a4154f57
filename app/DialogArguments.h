#pragma once

#include <QString>
#include <QStringList>

namespace morvex {

// What the dialog's command line asks for: the window, with or without a file to start from, or
// one of the answers given without a window.
struct DialogArguments {
    enum class Action { Run, Help, Version, Refuse };

    Action action = Action::Run;
    QString file;     // Run: the file to choose first, empty for none
    QString problem;  // Refuse: what is wrong, for one line on standard error
};

// The arguments after the program name. --help and --version are honoured anywhere before "--",
// so that they answer even where the rest would be refused; after "--" everything is a file name.
[[nodiscard]] DialogArguments ParseDialogArguments(const QStringList& arguments);

// The --help text, with the same exit statuses the manual page gives.
[[nodiscard]] QString DialogUsageText();

}  // namespace morvex
