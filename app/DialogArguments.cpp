#include "app/DialogArguments.h"

namespace morvex {

namespace {

[[nodiscard]] DialogArguments Refusal(const QString& problem) {
    return DialogArguments{DialogArguments::Action::Refuse, QString(), problem};
}

}  // namespace

DialogArguments ParseDialogArguments(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (argument == u"--") {
            break;
        }
        if (argument == u"-h" || argument == u"--help") {
            return DialogArguments{DialogArguments::Action::Help, {}, {}};
        }
        if (argument == u"--version") {
            return DialogArguments{DialogArguments::Action::Version, {}, {}};
        }
    }

    DialogArguments result;
    bool optionsEnded = false;
    for (const QString& argument : arguments) {
        if (!optionsEnded && argument == u"--") {
            optionsEnded = true;
            continue;
        }
        // A lone "-" is a file of that name, as for morvex-cli; the dialog never reads standard input.
        if (!optionsEnded && argument.size() > 1 && argument.startsWith(u'-')) {
            return Refusal(QStringLiteral("unknown option '%1'").arg(argument));
        }
        if (argument.isEmpty()) {
            return Refusal(QStringLiteral("the file name is empty"));
        }
        if (!result.file.isEmpty()) {
            return Refusal(QStringLiteral("only one file can be given"));
        }
        result.file = argument;
    }
    return result;
}

QString DialogUsageText() {
    return QStringLiteral(
        "Usage: morvex [FILE]\n"
        "       morvex --help | --version\n"
        "\n"
        "Opens the morvex dialog, which encrypts a file into FILE.enc beside it, or decrypts\n"
        "FILE.enc into FILE, under a passphrase, with triple-DES or IDEA. A FILE given here is\n"
        "chosen as \"Select File To Encrypt / Decrypt\" would choose it, refused the same way when\n"
        "its full pathname is longer than 250 characters.\n"
        "\n"
        "Options:\n"
        "  -h, --help     this text\n"
        "      --version  the version\n"
        "  --             the next argument is FILE even if it begins with '-'\n"
        "The options that every Qt program takes, such as -style NAME, are accepted too.\n"
        "\n"
        "Exit status:\n"
        "  0  the window was closed while no job ran (also after --help and --version)\n"
        "  1  the Exit button was pressed\n"
        "  2  usage error: an unknown option, more than one file, or an empty file name\n"
        "\n"
        "morvex-cli runs the same jobs from a terminal.\n");
}

}  // namespace morvex
