#include "cli/Reporter.h"

#include <filesystem>

namespace morvex {

void Reporter::File(const std::string& file, MessageId id, std::error_code cause, const std::string& output) {
    const std::string_view text = Message(id).text;
    std::string line = file + ": " + std::string(text);
    if (cause) {
        const std::string taken = std::filesystem::path(output).filename().string();
        const std::string reason =
            cause == std::errc::file_exists && !taken.empty() ? taken + " exists" : cause.message();
        line += " (" + reason + ")";
    }
    Plain(line);
}

void Reporter::General(MessageId id) { Plain(std::string(Message(id).text)); }

void Reporter::Plain(const std::string& text) {
    progress_.Clear();
    std::fprintf(err_, "morvex-cli: %s\n", text.c_str());
    std::fflush(err_);
}

}  // namespace morvex
