#pragma once
// The constants the whole telemetry SDK shares: its log tag, the error domain with its codes,
// the enqueue flags, and the values that describe the application's environment and state.
#include <cstdint>

// Every component of the SDK logs under this tag.
inline constexpr const char* kTLLogTag = "Telemetry";

// ---- Errors ----------------------------------------------------------------------------------

inline constexpr const char* kTLErrorDomain = "com.telemetry.ErrorDomain";

// A log container that is missing or not valid was handed to an ingestion.
inline constexpr long TLLogInvalidContainerErrorCode = 1;
// A call of the HTTP client was cancelled because the client was disabled meanwhile.
inline constexpr long TLCanceledErrorCode = 2;
// The HTTP client was disabled when a call was made.
inline constexpr long TLDisabledErrorCode = 3;
// A log was deleted, or refused, by a channel disabled with data deletion.
inline constexpr long TLConnectionPausedErrorCode = 100;
// The service answered with a status other than 200.
inline constexpr long TLConnectionHttpErrorCode = 101;
// The log store refused a log (full of logs that rank higher, too large, or failing).
inline constexpr long TLLogNotStoredErrorCode = 102;

// The user-info key of TLConnectionHttpErrorCode errors that holds the status code.
inline constexpr const char* kTLConnectionHttpCodeErrorKey = "TLConnectionHttpCode";
// The description of TLConnectionPausedErrorCode errors.
inline constexpr const char* kTLConnectionPausedErrorDesc = "Canceled, connection paused with log deletion.";
// The description of TLLogNotStoredErrorCode errors.
inline constexpr const char* kTLLogNotStoredErrorDesc = "The log could not be stored.";

// ---- Enqueue flags ---------------------------------------------------------------------------

// Flags handed with every enqueued log; the low byte is the persistence priority.
using TLFlags = std::uint64_t;
inline constexpr TLFlags TLFlagsNone = 0;
inline constexpr TLFlags TLFlagsNormal = 1;
inline constexpr TLFlags TLFlagsCritical = 2;
inline constexpr TLFlags TLFlagsPersistenceMask = 0xFF;
inline constexpr TLFlags TLFlagsDefault = TLFlagsNormal;

// ---- Application ------------------------------------------------------------------------------

// Where the application was installed from.
enum TLAppEnvironment : long {
  TLAppEnvironmentAppStore = 0,
  TLAppEnvironmentOther = 99,
};

// What the application is doing, as the services see it.
enum TLApplicationState : long {
  TLApplicationStateActive = 0,
  TLApplicationStateInactive = 1,
  TLApplicationStateBackground = 2,
  TLApplicationStateUnknown = 3,
};
