#pragma once

namespace morvex {

// The tool's exit statuses. Several files report the worst of their statuses, which is the
// numerically largest.
inline constexpr int kExitDone = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitRefused = 2;
inline constexpr int kExitFailed = 3;
inline constexpr int kExitWrongKey = 4;  // a passphrase or cipher proven wrong before anything was written
inline constexpr int kExitCutShort = 5;  // a container shorter than its length field says
inline constexpr int kExitCanceled = 130;

}  // namespace morvex
