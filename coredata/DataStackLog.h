#pragma once
// DataStackLog writes the layer's diagnostics through the platform log, each message guarded by
// its bit in DataStack::loggingLevel(): 1 errors, 2 warnings, 4 information, 0x10 verbose.
// Safe from any thread.
#include <string_view>

#include "coredata/DataStack.h"
#include "platform/foundation/Log.h"

namespace dslog {

inline constexpr unsigned kError = 1;
inline constexpr unsigned kWarning = 2;
inline constexpr unsigned kInfo = 4;
inline constexpr unsigned kVerbose = 0x10;

// Whether messages of `bit` are written now.
inline bool enabled(unsigned bit) { return (DataStack::loggingLevel() & bit) != 0; }

// Formats and logs the message when its bit is set; the arguments are not formatted otherwise.
template <typename... Args>
void log(unsigned bit, std::string_view format, const Args&... args) {
  if (!enabled(bit)) return;
  foundation::NSLog(format, args...);
}

}  // namespace dslog
