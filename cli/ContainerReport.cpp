#include "cli/ContainerReport.h"

#include <array>
#include <optional>

#include "base/SecureWipe.h"
#include "cli/ExitStatus.h"
#include "jobs/ContainerCheck.h"
#include "jobs/Jobs.h"
#include "jobs/KeySearch.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

namespace {

std::string ShapeText(const ContainerInspection& facts) {
    switch (facts.shape) {
    case ContainerShape::TooShort: return "shorter than any container (20 bytes)";
    case ContainerShape::Whole: return "whole";
    case ContainerShape::CutShort:
        return "cut short: " + std::to_string(facts.expectedSize - facts.size) + " bytes missing";
    case ContainerShape::SizeMismatch:
        return "its size does not fit its length (" + std::to_string(facts.expectedSize) + " bytes expected)";
    }
    return "";
}

std::string VerdictText(const CheckResult& result) {
    switch (result.verdict) {
    case CheckVerdict::Right: return "right (" + std::to_string(result.evidenceBits) + " bits of evidence)";
    case CheckVerdict::Wrong: return "wrong";
    case CheckVerdict::CutShort: return "cannot decrypt: cut short";
    case CheckVerdict::CannotTell: break;
    }
    switch (result.reason) {
    case CannotTellReason::WholeLastBlock: return "cannot tell: the source filled its last block";
    case CannotTellReason::NoGeneratorState: return "cannot tell: no generator state gives the initial words";
    case CannotTellReason::SizeMismatch: return "cannot tell: the size does not fit the length";
    case CannotTellReason::TooShort: return "cannot tell: too short";
    default: return "cannot tell";
    }
}

const char* CipherName(AlgorithmId algorithm) { return algorithm == AlgorithmId::Idea ? "IDEA" : "3-DES"; }

}  // namespace

int InspectContainers(const std::vector<std::string>& files, const PassphraseEntry* passphrase,
                      bool passphraseIsBytes, std::FILE* out, Reporter& reporter) {
    int worst = kExitDone;
    for (const std::string& file : files) {
        Opened<PlatformSource> opened = NativePlatform().OpenSource(file);
        const std::optional<std::uint64_t> size = opened.file ? opened.file->Size() : std::nullopt;
        const std::optional<ContainerEnds> ends = size ? ReadContainerEnds(*size, *opened.file) : std::nullopt;
        if (!ends) {
            const std::error_code cause = opened.file ? opened.file->Error() : opened.error;
            reporter.File(file, MessageId::CannotOpenSource, cause ? cause : std::make_error_code(std::errc::io_error));
            worst = std::max(worst, kExitRefused);
            continue;
        }
        const ContainerCheck check(*ends);
        const ContainerInspection& facts = check.Inspection();
        std::fprintf(out, "%s: %llu bytes", file.c_str(), static_cast<unsigned long long>(facts.size));
        if (facts.shape != ContainerShape::TooShort) {
            std::fprintf(out, ", source length %u, %llu blocks", facts.sourceLength,
                         static_cast<unsigned long long>(facts.blockCount));
        }
        std::fprintf(out, ", %s\n", ShapeText(facts).c_str());
        std::fprintf(out, "  generator: %s; fill bytes that can vouch: %u\n",
                     facts.generatorSeeds.empty() ? "not found (written by other software?)" : "found",
                     facts.fillBytes);
        if (passphrase == nullptr) {
            continue;
        }
        std::string key = KeyBytes(passphrase->passphrase, passphraseIsBytes, HomeCodePage());
        KeyWords keyWords = DeriveKeyWords(key);
        SecureWipe(key.data(), key.size());
        for (const AlgorithmId algorithm : {AlgorithmId::TripleDes, AlgorithmId::Idea}) {
            std::fprintf(out, "  %s: %s\n", CipherName(algorithm), VerdictText(check.Check(keyWords, algorithm)).c_str());
        }
        SecureWipe(&keyWords, sizeof keyWords);
        const std::array ciphers{AlgorithmId::TripleDes, AlgorithmId::Idea};
        KeySearchResult found = SearchVerifyingKey(
            check, passphrase->passphrase, passphraseIsBytes ? PassphraseInputKind::ExactBytes : PassphraseInputKind::Text,
            ciphers, HomeCodePage());
        if (found.verifying && found.verifying->form.encoding != PassphraseEncoding::AsGiven &&
            found.verifying->form.bytes != KeyBytes(passphrase->passphrase, passphraseIsBytes, HomeCodePage())) {
            std::fprintf(out, "  %s: right in the passphrase's %s form\n", CipherName(found.verifying->algorithm),
                         std::string(PassphraseEncodingName(found.verifying->form.encoding)).c_str());
        }
        if (found.verifying) {
            WipePassphraseForm(found.verifying->form);
        }
    }
    std::fflush(out);
    return worst;
}

}  // namespace morvex
