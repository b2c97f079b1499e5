// The store of wrapper-SDK exceptions: saving and loading, the join of the last saved exception to
// the report of its process, the memory that outlives the files, and damaged files.
#include "telemetry/crashes/Internals/TLWrapperExceptionManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/UUID.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using Manager = TLWrapperExceptionManager;

std::shared_ptr<TLWrapperException> wrapperException(std::int64_t processId, const std::string& type) {
  auto exception = std::make_shared<TLWrapperException>();
  exception->processId = processId;
  exception->modelException = std::make_shared<TLException>();
  exception->modelException->type = type;
  exception->modelException->message = "from the managed side";
  exception->exceptionData = foundation::Data{1, 2, 3};
  return exception;
}

std::shared_ptr<TLErrorReport> report(const std::string& incidentIdentifier, std::uint64_t processId) {
  return std::make_shared<TLErrorReport>(incidentIdentifier, "", "SIGABRT", std::nullopt, std::nullopt, std::nullopt,
                                         std::nullopt, nullptr, processId);
}

std::string fileOf(const std::string& baseFilename) {
  return TLUtility::fullURLForPathComponent("crasheswrapperexceptions/" + baseFilename)->path();
}

bool exists(const std::string& baseFilename) {
  return TLUtility::fileExistsForPathComponent("crasheswrapperexceptions/" + baseFilename);
}

std::string newId() { return foundation::UUID().UUIDString(); }

TEST(TLWrapperExceptionManager, SavedExceptionLoadsBackEqual) {
  const auto saved = wrapperException(77, "System.NullReferenceException");
  Manager::saveWrapperException(saved);
  const auto loaded = Manager::loadWrapperExceptionWithBaseFilename(kTLLastWrapperExceptionFileName);
  ASSERT_NE(loaded, nullptr);
  EXPECT_TRUE(loaded->isEqual(*saved));
  EXPECT_EQ(Manager::loadWrapperExceptionWithBaseFilename("nothing-saved-here"), nullptr);
}

TEST(TLWrapperExceptionManager, LastSavedExceptionJoinsTheFirstReportOfItsProcess) {
  const std::string other = newId(), first = newId(), second = newId();
  Manager::saveWrapperException(wrapperException(4321, "System.InvalidOperationException"));
  Manager::correlateLastSavedWrapperExceptionToReport({report(other, 1), report(first, 4321), report(second, 4321)});

  EXPECT_FALSE(exists(kTLLastWrapperExceptionFileName));
  EXPECT_TRUE(exists(first));
  EXPECT_FALSE(exists(second));
  EXPECT_EQ(Manager::loadWrapperExceptionWithUUIDString(other), nullptr);
  const auto joined = Manager::loadWrapperExceptionWithUUIDString(first);
  ASSERT_NE(joined, nullptr);
  EXPECT_EQ(joined->modelException->type, "System.InvalidOperationException");

  // The memory keeps it after its file is gone; a second join finds nothing left to join.
  Manager::deleteWrapperExceptionWithUUIDString(first);
  EXPECT_FALSE(exists(first));
  EXPECT_EQ(Manager::loadWrapperExceptionWithUUIDString(first), joined);
  Manager::correlateLastSavedWrapperExceptionToReport({report(second, 4321)});
  EXPECT_EQ(Manager::loadWrapperExceptionWithUUIDString(second), nullptr);
}

TEST(TLWrapperExceptionManager, ExceptionOfNoReportedProcessIsDropped) {
  const std::string id = newId();
  Manager::saveWrapperException(wrapperException(999, "System.Exception"));
  Manager::correlateLastSavedWrapperExceptionToReport({report(id, 1000)});
  EXPECT_FALSE(exists(kTLLastWrapperExceptionFileName));
  EXPECT_EQ(Manager::loadWrapperExceptionWithUUIDString(id), nullptr);
}

TEST(TLWrapperExceptionManager, DamagedFileIsLoggedAndDeleted) {
  Manager::saveWrapperException(wrapperException(1, "System.Exception"), "damaged");
  ASSERT_TRUE(test::writeFile(fileOf("damaged"), "not an archive"));
  test::TLLogRecorder logs;
  EXPECT_EQ(Manager::loadWrapperExceptionWithBaseFilename("damaged"), nullptr);
  EXPECT_EQ(logs.messages(TLLogLevelError),
            std::vector<std::string>{"Could not read exception data stored on disk with file name damaged"});
  EXPECT_FALSE(exists("damaged"));
}

TEST(TLWrapperExceptionManager, DeleteAllRemovesEveryFileWithTheLastSaved) {
  Manager::saveWrapperException(wrapperException(5, "System.Exception"));
  Manager::saveWrapperException(wrapperException(6, "System.Exception"), newId());
  Manager::deleteAllWrapperExceptions();
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent("crasheswrapperexceptions"));
  EXPECT_EQ(Manager::loadWrapperExceptionWithBaseFilename(kTLLastWrapperExceptionFileName), nullptr);
  Manager::deleteAllWrapperExceptions();  // nothing left: nothing happens
}

}  // namespace
