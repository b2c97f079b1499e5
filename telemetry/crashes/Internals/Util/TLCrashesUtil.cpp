#include "telemetry/crashes/Internals/Util/TLCrashesUtil.h"

#include <memory>
#include <mutex>

#include "telemetry/core/Internals/Util/TLUtility+File.h"

namespace {

constexpr const char* kCrashesDirectory = "crashes";
constexpr const char* kLogBufferDirectory = "crasheslogbuffer";
constexpr const char* kWrapperExceptionsDirectory = "crasheswrapperexceptions";

// One guard per folder; resetDirectory replaces them, which is why they are pointers.
std::mutex gGuardsMutex;
std::shared_ptr<std::once_flag> gCrashesOnce = std::make_shared<std::once_flag>();
std::shared_ptr<std::once_flag> gLogBufferOnce = std::make_shared<std::once_flag>();
std::shared_ptr<std::once_flag> gWrapperExceptionsOnce = std::make_shared<std::once_flag>();

std::string directoryOnce(std::shared_ptr<std::once_flag>& guard, const char* name) {
  std::shared_ptr<std::once_flag> once;
  {
    std::lock_guard lock(gGuardsMutex);
    once = guard;
  }
  std::call_once(*once, [name] { TLUtility::createDirectoryForPathComponent(name); });
  return name;
}

}  // namespace

std::string TLCrashesUtil::crashesDir() { return directoryOnce(gCrashesOnce, kCrashesDirectory); }

std::string TLCrashesUtil::logBufferDir() { return directoryOnce(gLogBufferOnce, kLogBufferDirectory); }

std::string TLCrashesUtil::wrapperExceptionsDir() {
  return directoryOnce(gWrapperExceptionsOnce, kWrapperExceptionsDirectory);
}

void TLCrashesUtil::resetDirectory() {
  std::lock_guard lock(gGuardsMutex);
  gCrashesOnce = std::make_shared<std::once_flag>();
  gLogBufferOnce = std::make_shared<std::once_flag>();
  gWrapperExceptionsOnce = std::make_shared<std::once_flag>();
}
