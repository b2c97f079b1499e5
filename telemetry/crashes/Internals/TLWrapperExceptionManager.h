#pragma once
// TLWrapperExceptionManager keeps the exceptions a wrapper SDK saves for crashes of its own
// language, so that the next launch can join each to the crash report of the process it came
// from. The wrapper saves its exception under "last_saved_wrapper_exception" just before the
// process dies; at the next launch the crash service moves it under the incident identifier of
// the report with the same process id, where the error log of that report finds it.
//
// Files live in the "crasheswrapperexceptions" folder of the SDK directory, one keyed archive per
// base file name. Exceptions joined to a report are also kept in memory for the whole process.
// Every operation is class-level and thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "telemetry/crashes/Internals/Model/TLWrapperException.h"
#include "telemetry/crashes/TLErrorReport.h"

// The base file name of the exception a wrapper SDK saved last.
inline constexpr const char* kTLLastWrapperExceptionFileName = "last_saved_wrapper_exception";

class TLWrapperExceptionManager {
 public:
  TLWrapperExceptionManager() = delete;

  // Saves `exception` under kTLLastWrapperExceptionFileName.
  static void saveWrapperException(const std::shared_ptr<TLWrapperException>& exception);
  // Archives `exception` into the file `baseFilename`, replacing it atomically. A failed write is
  // the file utility's ERROR line; a null exception or one that cannot be archived writes nothing.
  static void saveWrapperException(const std::shared_ptr<TLWrapperException>& exception,
                                   const std::string& baseFilename);
  // The exception in the file `baseFilename`; null when there is no file. A file that holds no
  // wrapper exception is logged as an ERROR and deleted, and null is answered. Owned by the caller.
  static std::shared_ptr<TLWrapperException> loadWrapperExceptionWithBaseFilename(const std::string& baseFilename);
  // The exception joined to the report `incidentIdentifier`: the one kept in memory, else the one
  // in its file; null when there is neither. Shared with the memory.
  static std::shared_ptr<TLWrapperException> loadWrapperExceptionWithUUIDString(const std::string& incidentIdentifier);
  // Delete the file of that name; an exception kept in memory stays there.
  static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
  static void deleteWrapperExceptionWithUUIDString(const std::string& incidentIdentifier);
  // Deletes the whole folder, the last saved exception included.
  static void deleteAllWrapperExceptions();
  // Takes the last saved exception (its file is deleted at once) and joins it to the first of
  // `reports` whose process id is the exception's: kept in memory and saved under the report's
  // incident identifier. Without such a report the exception is dropped.
  static void correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<TLErrorReport>>& reports);
};
