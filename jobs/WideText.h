#pragma once

#include <optional>
#include <string>
#include <string_view>

// Windows only. Text is UTF-8 everywhere inside morvex; the system's wide calls take UTF-16, so
// every name crosses here, in both directions, with nothing lost or guessed.
namespace morvex {

// Nothing if the text is not valid UTF-8: a stray byte would otherwise become U+FFFD and name a
// different file.
[[nodiscard]] std::optional<std::wstring> WidenUtf8(std::string_view text);

// Nothing if the text holds an unpaired surrogate, which has no UTF-8 form.
[[nodiscard]] std::optional<std::string> NarrowToUtf8(std::wstring_view text);

}  // namespace morvex
