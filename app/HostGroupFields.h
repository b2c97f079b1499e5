#pragma once
// HostGroupFields reads and writes the fields of a hostfile record (the HostGroup entity) by
// key, so the windows depend only on the record's keys and not on its class. Derived keys
// (isDirty, prettyName, contentsProxy, statusMessage) are answered by the record itself.
//
// Like every managed object, a record is used only inside its context's queue (the main thread
// for the default context).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "hostfiles/HostGroup.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"

namespace app {

// The three kinds of record the application creates.
enum class HostGroupKind { Local, Remote, Preview };

struct HostGroupFields {
  using Record = coredata::ManagedObject;

  // Stored fields. Absent strings read as empty; absent Booleans as false.
  static std::string title(const Record& record);
  static std::string remoteURL(const Record& record);
  static std::int64_t sortOrder(const Record& record);
  static bool isEnabled(const Record& record);
  static bool isEditable(const Record& record);
  static bool isRemote(const Record& record);
  static bool isEtcHostsPreview(const Record& record);

  // Derived fields, computed by the record. prettyName falls back to the title.
  static std::string prettyName(const Record& record);
  static bool isDirty(const Record& record);
  static std::optional<std::string> contentsProxy(const Record& record);
  static std::string statusMessage(const Record& record);

  // Calls `reader` with contentsProxy (empty when absent) without copying a stored text: the
  // preview's compiled text, or the stored contents read in place. `reader` must not use the
  // record or its context (it may run under the context's lock).
  static void readContentsProxy(const Record& record, const std::function<void(std::string_view)>& reader);

  // Writes through the record's own setters, so that a write of contentsProxy marks it dirty.
  static void setContentsProxy(Record& record, const std::string& contents);
  // The same, taking the text over: a downloaded text is not copied on its way into the record.
  static void setContentsProxy(Record& record, std::string&& contents);
  static void setTitle(Record& record, const std::string& title);
  static void setRemoteURL(Record& record, const std::string& url);
  static void setEnabled(Record& record, bool enabled);

  // A new record of `kind` inserted into `context` (call inside its queue) by HostGroup's insert
  // function for that kind, so it starts clean; null when the context's model lacks the entity.
  static coredata::ManagedObjectPtr insertNewRecord(HostGroupKind kind,
                                                    const coredata::ManagedObjectContextPtr& context);
};

}  // namespace app
