// libFuzzer target of a stored telemetry log: the keyed archive the log store keeps, decoded as
// the store decodes it, through to the JSON the ingestion sends and the common-schema logs the
// collector gets. Invariants: a log's compact and pretty JSON are both written or both not, and
// read back as the same dictionary; a log archives, and decodes again to a log with the same
// JSON; each common-schema log made from it for a target token writes JSON and survives the same
// archive trip.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SampleObjects.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/TLAbstractLog.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"

namespace {

using foundation::Data;
using foundation::Value;

void writeSeeds(fuzz::SeedWriter& seeds) {
  fuzz::registerEveryArchivableClass();
  int n = 0;
  for (const auto& log : fuzz::sampleLogs()) {
    const auto bytes = foundation::KeyedArchiver::archivedDataWithRootObject(log);
    fuzz::check(bytes.has_value(), "a sample log archives");
    seeds.write("log-" + std::to_string(n++), *bytes);
  }
}

Value parsed(const std::string& json) {
  foundation::Error error;
  const auto value = foundation::JSONSerialization::JSONObjectWithData(Data(json.begin(), json.end()), 0, &error);
  fuzz::check(value.has_value(), "a log's JSON reads: " + error.description() + "\n" + json);
  fuzz::check(value->isDictionary(), "a log's JSON is a dictionary");
  return *value;
}

// The log's JSON, checked; nothing when the log has none.
std::optional<std::string> checkedJSON(const TLAbstractLog& log) {
  const auto compact = log.serializeLogWithPrettyPrinting(false);
  const auto pretty = log.serializeLogWithPrettyPrinting(true);
  fuzz::check(compact.has_value() == pretty.has_value(), "compact and pretty JSON are both written or neither");
  if (!compact) return std::nullopt;
  fuzz::check(parsed(*compact) == parsed(*pretty), "compact and pretty JSON say the same");
  return compact;
}

std::shared_ptr<TLAbstractLog> decodedLog(const Data& bytes) {
  const auto root = foundation::KeyedUnarchiver::unarchiveObjectWithData(bytes);
  return root ? root->objectAs<TLAbstractLog>() : nullptr;
}

template <class Log>
void checkArchiveTrip(const std::shared_ptr<Log>& log, const std::optional<std::string>& json) {
  foundation::Error error;
  const auto bytes = foundation::KeyedArchiver::archivedDataWithRootObject(log, &error);
  fuzz::check(bytes.has_value(), "a decoded log archives: " + error.description());
  const auto again = decodedLog(*bytes);
  fuzz::check(again != nullptr, "an archived log decodes as a log");
  fuzz::check(again->serializeLogWithPrettyPrinting(false) == json, "a log decoded again writes the same JSON");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initialize(writeSeeds);
  fuzz::registerEveryArchivableClass();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto log = decodedLog(Data(data, data + size));
  if (!log) return 0;
  checkArchiveTrip(log, checkedJSON(*log));
  log->addTransmissionTargetToken("0a1b2c3d-aaaa-bbbb-cccc-0123456789ab");
  for (const auto& converted : log->toCommonSchemaLogsWithFlags(0)) {
    fuzz::check(converted != nullptr, "a conversion gives a log");
    checkArchiveTrip(converted, checkedJSON(*converted));
  }
  return 0;
}
