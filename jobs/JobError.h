#pragma once

#include <system_error>
#include <type_traits>

namespace morvex {

// The engine's own causes of a refusal or failure, beside the system's: what a front end prints
// where the system gave no reason.
enum class JobError {
    SourceChanged = 1,   // the file ended before or after the size it had when the job started
    ContainerTooLarge,   // the source's container would reach 4 GiB, which no decryption accepts
    OutputReplaced,      // the unfinished output's hidden name now holds another file
};

[[nodiscard]] const std::error_category& JobErrorCategory() noexcept;

[[nodiscard]] inline std::error_code make_error_code(JobError error) noexcept {
    return {static_cast<int>(error), JobErrorCategory()};
}

}  // namespace morvex

template <>
struct std::is_error_code_enum<morvex::JobError> : std::true_type {};
