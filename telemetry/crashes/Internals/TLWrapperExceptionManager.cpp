#include "telemetry/crashes/Internals/TLWrapperExceptionManager.h"

#include <map>
#include <mutex>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/core/TLLogger.h"
#include "telemetry/crashes/Internals/Util/TLCrashesUtil.h"
#include "telemetry/crashes/TLCrashesArchivableClasses.h"
#include "telemetry/crashes/TLCrashesConstants.h"

namespace {

std::mutex gCacheMutex;
// Never freed: error logs may be built while the process exits.
std::map<std::string, std::shared_ptr<TLWrapperException>>& cache() {
  static auto* exceptions = new std::map<std::string, std::shared_ptr<TLWrapperException>>();
  return *exceptions;
}

std::string componentOf(const std::string& baseFilename) {
  return TLCrashesUtil::wrapperExceptionsDir() + "/" + baseFilename;
}

}  // namespace

void TLWrapperExceptionManager::saveWrapperException(const std::shared_ptr<TLWrapperException>& exception) {
  saveWrapperException(exception, kTLLastWrapperExceptionFileName);
}

void TLWrapperExceptionManager::saveWrapperException(const std::shared_ptr<TLWrapperException>& exception,
                                                     const std::string& baseFilename) {
  if (!exception) return;
  TLRegisterCrashesArchivableClasses();
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(exception);
  if (!data) return;
  TLUtility::createFileAtPathComponent(componentOf(baseFilename), data, true, true);
}

std::shared_ptr<TLWrapperException> TLWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
  const std::string component = componentOf(baseFilename);
  if (!TLUtility::fileExistsForPathComponent(component)) return nullptr;
  TLRegisterCrashesArchivableClasses();
  const auto data = TLUtility::loadDataForPathComponent(component);
  auto exception = data ? foundation::KeyedUnarchiver::unarchivedObjectOfClass<TLWrapperException>(*data) : nullptr;
  if (!exception) {
    TLLogError(kTLCrashesLogTag, "Could not read exception data stored on disk with file name %@", baseFilename);
    TLUtility::deleteItemForPathComponent(component);
  }
  return exception;
}

std::shared_ptr<TLWrapperException> TLWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::string& incidentIdentifier) {
  {
    std::lock_guard lock(gCacheMutex);
    const auto found = cache().find(incidentIdentifier);
    if (found != cache().end()) return found->second;
  }
  return loadWrapperExceptionWithBaseFilename(incidentIdentifier);
}

void TLWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
  const std::string component = componentOf(baseFilename);
  if (TLUtility::fileExistsForPathComponent(component)) TLUtility::deleteItemForPathComponent(component);
}

void TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string& incidentIdentifier) {
  deleteWrapperExceptionWithBaseFilename(incidentIdentifier);
}

void TLWrapperExceptionManager::deleteAllWrapperExceptions() {
  const std::string directory = TLCrashesUtil::wrapperExceptionsDir();
  if (TLUtility::fileExistsForPathComponent(directory)) TLUtility::deleteItemForPathComponent(directory);
}

void TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<TLErrorReport>>& reports) {
  const auto exception = loadWrapperExceptionWithBaseFilename(kTLLastWrapperExceptionFileName);
  if (!exception) return;
  deleteWrapperExceptionWithBaseFilename(kTLLastWrapperExceptionFileName);
  if (!exception->processId) return;
  for (const auto& report : reports) {
    if (!report || report->appProcessIdentifier() != static_cast<std::uint64_t>(*exception->processId)) continue;
    if (!report->incidentIdentifier()) return;
    {
      std::lock_guard lock(gCacheMutex);
      cache()[*report->incidentIdentifier()] = exception;
    }
    saveWrapperException(exception, *report->incidentIdentifier());
    return;
  }
}
