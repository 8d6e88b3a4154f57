#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliRunner.h"
#include "jobs/Platform.h"

int main(int argc, char** argv) {
    morvex::ProtectProcessSecrets();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    morvex::CliRunner runner(stdout, stderr);
    return runner.Run(args);
}
