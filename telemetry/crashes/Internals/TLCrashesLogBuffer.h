#pragma once
// TLCrashesLogBuffer keeps every log that is between a channel unit's preparing it and its being
// stored in the crash-time log buffer (TLCrashesLogBufferRecord.h), so that a crash in that window
// does not lose it, and brings such logs back at the next start.
//
// The crash service drives it: it sets up the slots and their files when it is made, hands over
// each prepared log and each completed enqueue as a channel delegate, and at every start reads the
// files the last crash left and enqueues their logs again on a "CrashesBuffer" channel unit. The
// files live in one folder of the SDK directory: "<i>.tlcrasheslogbuffer" holds slot i's log
// archive, "<i>.targettoken" its target token encrypted.
//
// Everything is process-wide. Each operation is thread-safe: the slots are changed under one
// process-wide lock, taken after the caller's own locks.
#include <memory>
#include <string>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitConfiguration.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/Internals/Model/TLLog.h"
#include "telemetry/core/Internals/Util/TLEncrypter.h"

inline constexpr const char* kTLCrashesLogBufferExtension = "tlcrasheslogbuffer";
inline constexpr const char* kTLCrashesTargetTokenExtension = "targettoken";
inline constexpr const char* kTLCrashesBufferGroupId = "CrashesBuffer";

class TLCrashesLogBuffer {
 public:
  TLCrashesLogBuffer() = delete;

  // The settings of the "CrashesBuffer" unit: priority 2, flushed after 1 second, batches of 50,
  // one batch in flight.
  static TLChannelUnitConfiguration channelUnitConfiguration();

  // Points every slot at its files in `directory` (a path component of the SDK directory) and
  // empties it. Each buffer file is created empty on `queue` within `group` unless it exists: the
  // files of the last crash keep their contents for processLogBufferAfterCrash.
  static void setupLogBuffer(const std::string& directory, const std::shared_ptr<dispatch::Queue>& queue,
                             const std::shared_ptr<dispatch::Group>& group);

  // Keeps `log` (archived, with one of its target tokens encrypted by `encrypter`) in the lowest
  // free slot under `internalId`, or, when none is free, in place of the one filled longest ago
  // (of equal times, the lowest). Crash logs and attachments are never kept, nor a log that cannot
  // be archived. Nothing is written to disk.
  static void bufferLog(const std::shared_ptr<TLLog>& log, const std::string& internalId, const TLEncrypter& encrypter);

  // Frees every slot that keeps the log of `internalId` (nothing for an empty id). After a crash
  // writer has run in this process, the slot's buffer file is deleted too.
  static void releaseLog(const std::shared_ptr<TLLog>& log, const std::string& internalId);

  // Adds a "CrashesBuffer" unit to `group` and enqueues on it, with flags 1, each log found in a
  // buffer file of `directory`, with the target token of its token file decrypted by `encrypter`
  // (a token that does not decrypt is logged and dropped; the log still goes). Then every buffer
  // file is emptied and every token file deleted, whatever it held. Returns the unit (null when the
  // group made none).
  static std::shared_ptr<TLChannelUnitProtocol> processLogBufferAfterCrash(const std::string& directory,
                                                                          TLChannelGroupProtocol& group,
                                                                          const TLEncrypter& encrypter);

  // Empties each buffer file of `directory` that is not empty and deletes every token file; the
  // slots keep what they hold. Logs an ERROR when the folder cannot be listed.
  static void emptyLogBufferFiles(const std::string& directory);
};
