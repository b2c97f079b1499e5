#include "platform/foundation/Exception.h"

#include <atomic>

namespace foundation {

namespace {
std::atomic<UncaughtExceptionHandler> gUncaughtExceptionHandler{nullptr};
}  // namespace

void NSSetUncaughtExceptionHandler(UncaughtExceptionHandler handler) { gUncaughtExceptionHandler.store(handler); }

UncaughtExceptionHandler NSGetUncaughtExceptionHandler() { return gUncaughtExceptionHandler.load(); }

}  // namespace foundation
