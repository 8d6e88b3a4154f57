#include "dialog/MainDialogLogic.h"

#include <algorithm>

#include "base/SecureWipe.h"
#include "keys/PassphraseDigest.h"
#include "keys/PassphraseText.h"

namespace morvex {

namespace {

// Replaces a secret text, wiping the bytes it held first.
void ReplaceSecret(std::string& kept, std::string_view text) {
    SecureWipe(kept.data(), kept.size());
    kept.assign(text);
}

bool IsContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::size_t CharacterCount(std::string_view text) noexcept {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return !IsContinuationByte(static_cast<unsigned char>(c));
    }));
}

std::string_view FirstCharacters(std::string_view text, std::size_t count) noexcept {
    std::size_t end = 0;
    for (std::size_t seen = 0; end < text.size(); ++end) {
        if (!IsContinuationByte(static_cast<unsigned char>(text[end]))) {
            if (seen == count) {
                break;
            }
            ++seen;
        }
    }
    return text.substr(0, end);
}

MainDialogLogic::MainDialogLogic(DialogView& view, Platform& platform, JobOptions options)
    : view_(view), platform_(platform), options_(options) {}

MainDialogLogic::~MainDialogLogic() {
    AbandonJob(state_, platform_);
    ReplaceSecret(state_.choice.passphrase, {});
    ReplaceSecret(state_.choice.retype, {});
}

void MainDialogLogic::Show(MessageId id) { view_.ShowMessage(Message(id)); }

void MainDialogLogic::ShowLeftBehind(const DiscardResult& cleanup) {
    if (cleanup.leftBehind.empty()) {
        return;
    }
    const MessageText& message = Message(MessageId::OutputLeftBehind);
    const std::string text = std::string(message.text) + "\n" + cleanup.leftBehind;
    view_.ShowMessage({text, message.title, message.icon});
}

void MainDialogLogic::KeepTexts(std::string_view first, std::string_view second) {
    // Whole: the byte rule needs every character to choose the bytes, and the request keeps the
    // first 55 of those bytes for the key.
    ReplaceSecret(state_.choice.passphrase, first);
    ReplaceSecret(state_.choice.retype, second);
}

void MainDialogLogic::FirstFieldChanged(std::string_view first, std::string_view second) {
    // The meter and the limit count the bytes the key is made of.
    const std::size_t bytes = PassphraseByteCount(first, options_.homeCodePage);
    const std::size_t characters = CharacterCount(first);
    view_.SetQuality(static_cast<int>(std::min(bytes, kMaxPassphraseBytes) * 100 / kMaxPassphraseBytes));
    KeepTexts(first, second);
    // Each time the text becomes exactly one byte longer than the limit, whichever way it got there;
    // and when one typed character of several bytes steps from within the limit straight past that.
    // A paste that jumps beyond says nothing.
    const bool steppedOver = characters == firstCharacters_ + 1 && firstBytes_ <= kMaxPassphraseBytes &&
                             bytes > kMaxPassphraseBytes + 1;
    firstBytes_ = bytes;
    firstCharacters_ = characters;
    if (bytes == kMaxPassphraseBytes + 1 || steppedOver) {
        Show(MessageId::Limit);
    }
}

void MainDialogLogic::SecondFieldChanged(std::string_view first, std::string_view second) { KeepTexts(first, second); }

void MainDialogLogic::PickFile() {
    if (const std::optional<std::string> chosen = view_.ChooseFile()) {
        ChoosePath(*chosen);
    }
}

void MainDialogLogic::ChoosePath(const std::string& fullPath) {
    if (CharacterCount(fullPath) > kPathLimit) {
        Show(MessageId::PathTooLong);
        return;
    }
    state_.choice.chosenPath = fullPath;
}

void MainDialogLogic::ChooseTripleDes() { state_.choice.algorithm = AlgorithmId::TripleDes; }

void MainDialogLogic::ChooseIdea() {
    Show(MessageId::License);
    state_.choice.algorithm = AlgorithmId::Idea;
}

void MainDialogLogic::ExplainQuality() { Show(MessageId::Quality); }

void MainDialogLogic::ShowWarning() { Show(MessageId::Warning); }

void MainDialogLogic::Cancel() { CancelJob(state_); }

void MainDialogLogic::Exit() {
    // The button is disabled while a job runs; the check keeps a queued click from ending one.
    if (!state_.running) {
        view_.EndDialog(kExitStatus);
    }
}

void MainDialogLogic::Start(bool decrypt) {
    // Encrypt and Decrypt are disabled while a job runs; a queued click must not start a second.
    if (state_.running) {
        return;
    }
    const RequestResult result =
        decrypt ? DecryptRequest(state_, platform_, options_) : EncryptRequest(state_, platform_, options_);
    if (!result.Started()) {
        Show(MessageFor(result));
        ShowLeftBehind(result.cleanup);
        return;
    }
    view_.SetWorking(true);
    if (result.recodedAs) {
        const std::string text = RecodedPassphraseText(*result.recodedAs);
        view_.ShowMessage({text, kRecodedPassphraseTitle});
    }
}

void MainDialogLogic::Encrypt() { Start(false); }

void MainDialogLogic::Decrypt() { Start(true); }

void MainDialogLogic::Tick() {
    const JobTick tick = FinishJob(state_);
    if (tick.kind == JobTick::Kind::Working) {
        view_.SetProgress(std::clamp(tick.percent, 0, 100));
        return;
    }
    if (tick.kind != JobTick::Kind::Finished) {
        return;
    }
    // The record is already reset, so ticks that arrive while the box is open do nothing.
    Show(MessageFor(tick.outcome));
    if (tick.outcome != JobOutcome::Done) {
        ShowLeftBehind(DiscardOutput(state_, platform_));
    }
    view_.SetWorking(false);
    view_.SetProgress(0);
}

void MainDialogLogic::Close() {
    if (!state_.running) {
        view_.EndDialog(kCloseStatus);
        return;
    }
    Show(MessageId::Working);
}

}  // namespace morvex
