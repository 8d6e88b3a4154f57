#pragma once

#include <optional>
#include <string>
#include <system_error>

#include "cli/CommandLine.h"
#include "jobs/Jobs.h"

namespace morvex {

// What a request would say about a file, found out without opening or creating anything.
struct ProbeResult {
    std::optional<Refusal> refusal;  // nothing: the request would start its job, as far as can be seen now
    std::error_code cause;           // the system's reason, where it gave one
    std::string outputName;          // the output the job would create
};

// The checks of the Encrypt or Decrypt request that concern the files, in the request's order, on
// the file system as it is now: a name with the suffix for decryption, a readable source that is no
// directory, a free output name in a writable folder, a regular source below 4 GiB. The checks of
// the passphrase are left out, and the request itself stays the final word, since the files may
// change before it runs.
[[nodiscard]] ProbeResult ProbeRequest(CliCommand command, const std::string& path);

}  // namespace morvex
