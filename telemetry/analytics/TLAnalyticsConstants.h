#pragma once
// The constants the analytics service shares among its parts.

// Every message of the analytics service carries this tag.
inline constexpr const char* kTLAnalyticsLogTag = "TelemetryAnalytics";
