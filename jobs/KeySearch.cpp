#include "jobs/KeySearch.h"

#include <vector>

#include "keys/PassphraseDigest.h"
#include "base/SecureWipe.h"

namespace morvex {

KeySearchResult SearchVerifyingKey(const ContainerCheck& check, std::string_view passphrase, PassphraseInputKind kind,
                                   std::span<const AlgorithmId> ciphers, CodePage home) {
    KeySearchResult search;
    if (const std::optional<CheckResult> keyless = check.KeylessVerdict()) {
        search.asChosen = *keyless;
        return search;
    }
    if (ciphers.empty()) {
        search.asChosen = {CheckVerdict::CannotTell, CannotTellReason::NoCipher, 0};
        return search;
    }
    std::vector<PassphraseForm> forms;
    forms.reserve(1 + kCodePages.size());
    if (kind == PassphraseInputKind::ExactBytes) {
        forms.push_back({PassphraseEncoding::AsGiven, std::string(passphrase)});
    } else {
        forms.push_back(PassphraseBytes(passphrase, home));
        for (PassphraseForm& alternative : AlternativePassphraseForms(passphrase, home)) {
            forms.push_back(std::move(alternative));
        }
    }
    for (std::size_t f = 0; f < forms.size() && !search.verifying; ++f) {
        KeyWords keyWords = DeriveKeyWords(forms[f].bytes);
        for (const AlgorithmId algorithm : ciphers) {
            const CheckResult result = check.Check(keyWords, algorithm);
            ++search.trials;
            if (search.trials == 1) {
                search.asChosen = result;
            }
            if (result.verdict == CheckVerdict::Right) {
                search.verifying = KeyChoice{algorithm, forms[f], result};  // a copy: a move leaves short strings behind unwiped
                break;
            }
        }
        SecureWipe(&keyWords, sizeof keyWords);
    }
    for (PassphraseForm& form : forms) {
        WipePassphraseForm(form);
    }
    return search;
}

}  // namespace morvex
