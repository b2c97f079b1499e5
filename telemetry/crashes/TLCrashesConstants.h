#pragma once
// The constants the crash service shares among its parts.

// Every message of the crash service carries this tag.
inline constexpr const char* kTLCrashesLogTag = "TelemetryCrashes";
