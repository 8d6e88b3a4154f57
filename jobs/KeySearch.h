#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "jobs/AlgorithmId.h"
#include "jobs/ContainerCheck.h"
#include "keys/CodePages.h"
#include "keys/PassphraseText.h"

namespace morvex {

// How the front end got the passphrase: as text (typed, or a passphrase file or descriptor read as
// UTF-8 text), which the byte rule of PassphraseText.h turns into bytes and which has other byte
// forms worth a try; or as bytes to take exactly as they stand.
enum class PassphraseInputKind : std::uint8_t { Text, ExactBytes };

// A key that verifies: the cipher, and the passphrase bytes to hand the job, which keeps the first
// kMaxPassphraseBytes of them.
struct KeyChoice {
    AlgorithmId algorithm = AlgorithmId::None;
    PassphraseForm form;
    CheckResult result;
};

struct KeySearchResult {
    // The rule's bytes (or the bytes as given) under the first cipher listed: what the user asked for.
    // A verdict other than Right or Wrong holds for every key, and then nothing else was tried.
    CheckResult asChosen;
    // The first key that verifies, in the order tried: the rule's bytes under each cipher listed, then
    // each alternative byte form under each cipher. It is the user's own choice when asChosen is Right.
    std::optional<KeyChoice> verifying;
    // Keys tried. A wrong key passes the check by chance with probability 2^-evidenceBits, so the
    // chance that any of them did is at most trials times that.
    unsigned trials = 0;
};

// Looks for the key that a container verifies with, starting from what the user chose. ciphers: the
// chosen cipher first and then the other, or both when none was chosen. The caller wipes the
// verifying form's bytes (WipePassphraseForm) once it has handed them on.
[[nodiscard]] KeySearchResult SearchVerifyingKey(const ContainerCheck& check, std::string_view passphrase,
                                                 PassphraseInputKind kind, std::span<const AlgorithmId> ciphers,
                                                 CodePage home = CodePage::Windows1252);

}  // namespace morvex
