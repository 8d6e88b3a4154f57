// The tool's entry on Windows: the arguments arrive as UTF-16 and go on as UTF-8, so that a file
// name outside the current code page still names its file.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliRunner.h"
#include "cli/ExitStatus.h"
#include "jobs/WideText.h"

namespace {

// The messages name files in UTF-8; a console shows them right only in that code page. The console
// outlives the tool, so its own page comes back at the end.
class Utf8ConsoleOutput {
public:
    Utf8ConsoleOutput() : saved_(::GetConsoleOutputCP()) {
        if (saved_ != 0 && saved_ != CP_UTF8) {
            ::SetConsoleOutputCP(CP_UTF8);
        }
    }
    ~Utf8ConsoleOutput() {
        if (saved_ != 0 && saved_ != CP_UTF8) {
            ::SetConsoleOutputCP(saved_);
        }
    }
    Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
    Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;

private:
    UINT saved_;  // 0 without a console
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::optional<std::string> arg = morvex::NarrowToUtf8(argv[i]);
        if (!arg) {
            std::fputs("morvex-cli: an argument is not valid Unicode text\n", stderr);
            return morvex::kExitUsage;
        }
        args.push_back(*arg);
    }
    const Utf8ConsoleOutput console;
    morvex::CliRunner runner(stdout, stderr);
    return runner.Run(args);
}
