#include "telemetry/crashes/Internals/TLCrashesLogBuffer.h"

#include <cfloat>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/foundation/Date.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/core/TLLogger.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/TLCrashesLogBufferRecord.h"
#include "telemetry/crashes/TLCrashesArchivableClasses.h"
#include "telemetry/crashes/TLCrashesConstants.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"

namespace {

using Record = TLCrashesLogBufferRecord;

std::mutex gLock;

std::string_view bytesOf(const foundation::Data& data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// "<directory>/<name>": the path component of a file in the buffer's folder.
std::string componentOf(const std::string& directory, const std::string& name) { return directory + "/" + name; }

// The same path with the token file's extension in place of the buffer file's.
std::string tokenPathOf(std::string path) {
  const std::string_view extension = kTLCrashesLogBufferExtension;
  if (path.size() > extension.size() && path.ends_with(extension)) path.resize(path.size() - extension.size());
  return path + kTLCrashesTargetTokenExtension;
}

// Keeps the change bracketed even when a copy runs out of memory half-way.
class Change {
 public:
  explicit Change(Record& slot) : slot_(slot) { slot_.beginChange(); }
  ~Change() { slot_.endChange(); }
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

 private:
  Record& slot_;
};

void fill(Record& slot, std::string_view data, std::string_view token, std::string_view internalId) {
  Change change(slot);
  Record::store(slot.logData, {});  // free while the rest changes, should a store fail
  Record::store(slot.encryptedToken, token);
  Record::store(slot.logInternalId, internalId);
  slot.storedAt = foundation::Date::now().timeIntervalSince1970();
  Record::store(slot.logData, data);
}

void clear(Record& slot) {
  Change change(slot);
  Record::store(slot.logData, {});
  Record::store(slot.encryptedToken, {});
  Record::store(slot.logInternalId, {});
  slot.storedAt = 0;
}

// The log archived in `data`; null when it is not such an archive.
std::shared_ptr<TLLog> unarchiveLog(const foundation::Data& data) {
  const auto root = foundation::KeyedUnarchiver::unarchiveObjectWithData(data);
  return root ? root->objectAs<TLLog>() : nullptr;
}

// The text of the token file `component`, decrypted and added to `log`; the file is then removed.
void restoreTargetToken(const std::string& component, const std::shared_ptr<TLLog>& log, const TLEncrypter& encrypter) {
  const auto data = TLUtility::loadDataForPathComponent(component);
  if (!data) return;
  const auto token = encrypter.decryptString(bytesOf(*data));
  if (token) {
    log->addTransmissionTargetToken(*token);
  } else {
    TLLogError(kTLLogTag, "Failed to decrypt the target token.");
  }
  TLUtility::deleteItemForPathComponent(component);
}

// Removes every token file of the listing that is still there: a token file without a log to go
// with would otherwise be joined to whatever log a later crash leaves in that slot.
void deleteTokenFiles(const std::string& directory, const std::vector<net::URL>& files) {
  for (const auto& url : files) {
    if (url.pathExtension() != kTLCrashesTargetTokenExtension) continue;
    const std::string component = componentOf(directory, url.lastPathComponent());
    if (TLUtility::fileExistsForPathComponent(component)) TLUtility::deleteItemForPathComponent(component);
  }
}

}  // namespace

TLChannelUnitConfiguration TLCrashesLogBuffer::channelUnitConfiguration() {
  return {kTLCrashesBufferGroupId, 2, 1, 50, 1};
}

void TLCrashesLogBuffer::setupLogBuffer(const std::string& directory, const std::shared_ptr<dispatch::Queue>& queue,
                                        const std::shared_ptr<dispatch::Group>& group) {
  std::lock_guard lock(gLock);
  for (std::size_t i = 0; i < kTLCrashesLogBufferSize; ++i) {
    const std::string component =
        componentOf(directory, std::to_string(i) + "." + kTLCrashesLogBufferExtension);
    const std::string path = TLUtility::fullURLForPathComponent(component)->path();
    queue->async([component] { TLUtility::createFileAtPathComponent(component, std::nullopt, false, false); }, group);

    Record& slot = tlCrashesLogBuffer[i];
    Record::store(slot.bufferFilePath, path);
    Record::store(slot.tokenFilePath, tokenPathOf(path));
    clear(slot);
  }
}

void TLCrashesLogBuffer::bufferLog(const std::shared_ptr<TLLog>& log, const std::string& internalId,
                                   const TLEncrypter& encrypter) {
  if (!log) return;
  if (std::dynamic_pointer_cast<TLAppleErrorLog>(log) || std::dynamic_pointer_cast<TLErrorAttachmentLog>(log)) return;
  TLRegisterCrashesArchivableClasses();
  const auto archive = foundation::KeyedArchiver::archivedDataWithRootObject(log);
  if (!archive) return;
  std::string token;
  if (const auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty()) {
    token = encrypter.encryptString(*tokens->begin()).value_or("");
  }
  TLLogVerbose(kTLCrashesLogTag, "Storing a log to Crashes Buffer: (sid: %@, type: %@)", log->sid(), log->type());

  std::lock_guard lock(gLock);
  double oldest = DBL_MAX;
  std::size_t oldestIndex = 0;
  for (std::size_t i = 0; i < kTLCrashesLogBufferSize; ++i) {
    Record& slot = tlCrashesLogBuffer[i];
    if (Record::load(slot.logData).empty()) {
      fill(slot, bytesOf(*archive), token, internalId);
      TLLogVerbose(kTLCrashesLogTag, "Found an empty buffer position.");
      return;
    }
    if (slot.storedAt < oldest) {
      oldest = slot.storedAt;
      oldestIndex = i;
      TLLogVerbose(kTLCrashesLogTag, "Remembering index %ld for oldest timestamp %f.", static_cast<long>(i), oldest);
    }
  }
  TLLogVerbose(kTLCrashesLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
  fill(tlCrashesLogBuffer[oldestIndex], bytesOf(*archive), token, internalId);
  TLLogVerbose(kTLCrashesLogTag, "Overwrote buffered log at index %ld.", static_cast<long>(oldestIndex));
}

void TLCrashesLogBuffer::releaseLog(const std::shared_ptr<TLLog>& log, const std::string& internalId) {
  if (internalId.empty()) return;
  std::lock_guard lock(gLock);
  for (Record& slot : tlCrashesLogBuffer) {
    if (Record::load(slot.logInternalId) != internalId) continue;
    TLLogVerbose(kTLCrashesLogTag, "Deleting a log from buffer with id %@", internalId);
    clear(slot);
    if (!tl_log_buffer_was_saved()) continue;
    const std::string path(Record::load(slot.bufferFilePath));
    foundation::FileManager::defaultManager().removeItemAtPath(path);
    TLLogVerbose(kTLCrashesLogTag, "Deleted a log from Crashes Buffer (sid: %@, type: %@)",
                 log ? log->sid() : std::nullopt, log ? log->type() : std::nullopt);
    TLLogVerbose(kTLCrashesLogTag, "Deleted crash buffer file: %@.", path);
  }
}

std::shared_ptr<TLChannelUnitProtocol> TLCrashesLogBuffer::processLogBufferAfterCrash(const std::string& directory,
                                                                                     TLChannelGroupProtocol& group,
                                                                                     const TLEncrypter& encrypter) {
  TLRegisterCrashesArchivableClasses();
  auto unit = group.addChannelUnitWithConfiguration(channelUnitConfiguration());
  const auto files = TLUtility::contentsOfDirectory(directory, std::nullopt);
  if (!files) return unit;
  for (const auto& url : *files) {
    if (url.pathExtension() != kTLCrashesLogBufferExtension) continue;
    const std::string name = url.lastPathComponent();
    const std::string component = componentOf(directory, name);
    const auto data = TLUtility::loadDataForPathComponent(component);
    if (const auto log = data && !data->empty() ? unarchiveLog(*data) : nullptr) {
      restoreTargetToken(tokenPathOf(component), log, encrypter);
      TLLogDebug(kTLCrashesLogTag, "Re-enqueueing buffered log, type: %@.", log->type());
      if (unit) unit->enqueueItem(log, TLFlagsNormal);
    }
    TLUtility::createFileAtPathComponent(component, foundation::Data(), false, true);
  }
  deleteTokenFiles(directory, *files);
  return unit;
}

void TLCrashesLogBuffer::emptyLogBufferFiles(const std::string& directory) {
  const auto files = TLUtility::contentsOfDirectory(directory, std::nullopt);
  if (!files) {
    TLLogError(kTLCrashesLogTag, "Couldn't get files in the directory \"%@\"", directory);
    return;
  }
  for (const auto& url : *files) {
    if (url.pathExtension() != kTLCrashesLogBufferExtension) continue;
    const auto attributes = foundation::FileManager::defaultManager().attributesOfItemAtPath(url.path());
    if (!attributes || attributes->size == 0) continue;
    TLUtility::createFileAtPathComponent(componentOf(directory, url.lastPathComponent()), std::nullopt, false, true);
  }
  deleteTokenFiles(directory, *files);
}
