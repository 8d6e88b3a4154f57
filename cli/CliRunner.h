#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace morvex {

// The whole tool: reads the arguments, takes the passphrase, runs one job per file and returns
// the exit status.
class CliRunner {
public:
    CliRunner(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    // The arguments without the program name.
    [[nodiscard]] int Run(const std::vector<std::string>& args);

private:
    std::FILE* out_;
    std::FILE* err_;
};

}  // namespace morvex
