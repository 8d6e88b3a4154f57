#pragma once

#include <cstdio>
#include <string>
#include <system_error>

#include "cli/ProgressLine.h"
#include "dialog/Texts.h"

namespace morvex {

// The tool's messages on stderr, each on a line of its own below the progress line.
class Reporter {
public:
    Reporter(std::FILE* err, ProgressLine& progress) : err_(err), progress_(progress) {}

    // "morvex-cli: FILE: TEXT (REASON)": the system's own text and, where the operating system gave
    // one, its reason; an output that exists is named, since it is the file the user has to move.
    void File(const std::string& file, MessageId id, std::error_code cause, const std::string& output = {});

    // "morvex-cli: TEXT", for what concerns every file alike.
    void General(MessageId id);

    // "morvex-cli: TEXT" for a text of the tool's own.
    void Plain(const std::string& text);

private:
    std::FILE* err_;
    ProgressLine& progress_;
};

}  // namespace morvex
