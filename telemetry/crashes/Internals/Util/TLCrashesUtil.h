#pragma once
// TLCrashesUtil names the crash service's folders inside the SDK's private directory and makes
// each of them the first time it is asked for in the process.
#include <string>

class TLCrashesUtil {
 public:
  TLCrashesUtil() = delete;

  // "crashes": the crash reports taken over from the engine, waiting to be sent. Made on the
  // first call (a failure is the file utility's ERROR line; later writes below it then fail).
  // Thread-safe.
  static std::string crashesDir();
  // "crasheslogbuffer": the crash-time log buffer's files. Made on the first call. Thread-safe.
  static std::string logBufferDir();
  // "crasheswrapperexceptions": the wrapper SDK's exceptions. Made on the first call.
  // Thread-safe.
  static std::string wrapperExceptionsDir();

  // Makes the next call of each operation above create its folder again (after the folders were
  // deleted). Thread-safe.
  static void resetDirectory();
};
