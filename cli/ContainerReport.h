#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/PassphraseInput.h"
#include "cli/Reporter.h"

namespace morvex {

// `inspect`: what each container tells without a passphrase (its length, blocks, whole or cut
// short, whether the generator is found, how many fill bytes can vouch) and, given a passphrase,
// the verdict per cipher. Writes nothing; the exit status is 2 if a file could not be read.
[[nodiscard]] int InspectContainers(const std::vector<std::string>& files, const PassphraseEntry* passphrase,
                                    bool passphraseIsBytes, std::FILE* out, Reporter& reporter);

}  // namespace morvex
