#include "hostfiles/Compiler.h"

#include <cstdint>
#include <memory>

#include "coredata/ObjectCategories.h"
#include "hostfiles/ApplicationExtras.h"
#include "hostfiles/ChangeTracker.h"
#include "hostfiles/HostGroup.h"
#include "platform/coredata/Predicate.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/AppleScript.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ShellQuoting.h"
#include "platform/foundation/SystemPaths.h"

using foundation::Dictionary;
using foundation::Error;
using foundation::Value;

namespace {

constexpr std::string_view kStart = Compiler::kStartMarker;
constexpr std::string_view kStop = Compiler::kStopMarker;

// Calls `line` with each piece of `text` between line feeds. A line feed right after a carriage
// return does not split: the pair is one user-perceived character. After the last line feed the
// rest is one more piece (empty when the text ends in a line feed).
template <typename Visit>
void forEachPiece(std::string_view text, Visit&& line) {
  std::size_t start = 0;
  std::size_t from = 0;
  while (true) {
    const std::size_t feed = text.find('\n', from);
    if (feed == std::string_view::npos) break;
    from = feed + 1;
    if (feed > 0 && text[feed - 1] == '\r') continue;
    line(text.substr(start, feed - start));
    start = feed + 1;
  }
  line(text.substr(start));
}

bool isMarker(std::string_view line) { return line == kStart || line == kStop; }

// Ends the line just written to `out` with a line feed that splits. A line feed after a carriage
// return would pair with it and not end the line, so a text ending in a lone return gets one more:
// then what follows (the next line, the block) starts a line of its own, and splitting the output
// again gives back the same lines, whatever line ending the text had.
void endLine(std::string& out) {
  if (!out.empty() && out.back() == '\r') out.push_back('\n');
  out.push_back('\n');
}

// A hostfile text without its lines that equal a marker; the text itself when it holds none.
// Both markers begin with the same text, so one search rules out both.
void appendWithoutMarkers(std::string& block, std::string_view text) {
  constexpr std::string_view kMarkerPrefix = "# QUILLMERE ST";
  static_assert(kStart.starts_with(kMarkerPrefix) && kStop.starts_with(kMarkerPrefix));
  if (text.find(kMarkerPrefix) == std::string_view::npos) {
    block.append(text);
    return;
  }
  bool first = true;
  forEachPiece(text, [&](std::string_view line) {
    if (isMarker(line)) return;
    if (!first) block.push_back('\n');
    block.append(line);
    first = false;
  });
}

// The size of the block for the texts that `forEachText` hands its visitor, in order (absent texts
// are not handed over): an upper bound, as markers inside a text are left out.
template <typename ForEachText>
std::size_t blockSize(ForEachText&& forEachText) {
  std::size_t size = 1 + kStart.size() + 1 + kStop.size() + 1;
  forEachText([&](std::string_view text) { size += text.size() + 2; });
  return size;
}

// Writes into `block` the block for the texts that `forEachText` hands its visitor, in order. The
// string's memory is reused when it has room enough.
template <typename ForEachText>
void buildBlock(std::string& block, ForEachText&& forEachText) {
  block.clear();
  block.reserve(blockSize(forEachText));
  block.push_back('\n');
  block.append(kStart).push_back('\n');
  forEachText([&](std::string_view text) {
    appendWithoutMarkers(block, text);
    endLine(block);
  });
  block.append(kStop).push_back('\n');
}

Error compilerError(long code, const std::string& description, const Error* underlying = nullptr) {
  Dictionary info{{foundation::kLocalizedDescriptionKey, Value(description)}};
  return Error(Compiler::kErrorDomain, code, std::move(info),
               underlying ? std::make_shared<const Error>(*underlying) : nullptr);
}

// The enabled, non-preview hostfiles in the order the store returns them; nothing when the store
// cannot be fetched from. Main thread, where the default context is.
std::optional<DSObjects> enabledRecords() {
  static const auto predicate =
      coredata::Predicate::withFormat("isEtcHostsPreview == false AND isEnabled == true");
  return DSManagedObject::DS_findAllWithPredicate(HostGroup::kEntityName, predicate);
}

// The texts of `records` for blockSize and buildBlock: each record's contents, when it has some,
// read in place rather than copied, as they may be tens of megabytes.
auto contentsOf(const DSObjects& records) {
  return [&records](auto&& visit) {
    for (const auto& record : records) {
      record->readValueForKey(HostGroup::kContentsKey, [&](const Value& contents) {
        if (contents.isString()) visit(std::string_view(contents.stringValue()));
      });
    }
  };
}

// An empty string with room for `capacity` bytes, all touched once. Where the system makes first
// touching new memory dear (tens of megabytes can cost a second), this is done here, off the main
// thread, and filling the string there later costs no more than the copy.
std::string touchedBuffer(std::size_t capacity) {
  std::string buffer(capacity, '\0');
  buffer.clear();
  return buffer;
}

// The default log lies in the user's own state folder, which a new account does not have yet. It
// is made for the user alone: a privileged command's output can say much about the system. A log
// path set by hand is used as it is.
bool writeLog(const std::string& text, Error* error) {
  using foundation::SystemPaths;
  const auto& files = foundation::FileManager::defaultManager();
  const std::string path = SystemPaths::privilegedRunLogPath();
  if (path == SystemPaths::defaultPrivilegedRunLogPath() &&
      !files.createDirectoryAtPath(path.substr(0, path.rfind('/')), true, error, 0700)) {
    return false;
  }
  return files.writeText(text, path, error);
}

// The error information as the platform prints an optional dictionary.
std::string describeErrorInfo(const Dictionary& info) { return "Optional(" + Value(info).description() + ")"; }

Error runError(const Dictionary& info) {
  const Value* message = info.find(foundation::kAppleScriptErrorMessage);
  Dictionary userInfo = info;
  userInfo.set(foundation::kLocalizedDescriptionKey,
               Value(message && message->isString() && !message->stringValue().empty()
                         ? message->stringValue()
                         : std::string("The privileged command failed.")));
  return Error(Compiler::kErrorDomain, Compiler::kPrivilegedRunFailed, std::move(userInfo));
}

// The mktemp template of a hidden file beside `path`: ".hosts.XXXXXX" in the same folder.
std::string temporarySiblingTemplate(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "/." + name + ".XXXXXX";
}

Error storeUnavailableError() {
  return compilerError(Compiler::kStoreUnavailable, "The hostfiles could not be read from the store.");
}

// The hosts file's text with `block` merged in; nothing, with *error set when given, when the
// hosts file cannot be read. Reads only the file: any thread.
std::optional<std::string> mergedIntoHostsFile(std::string_view block, const std::string& hostsPath, Error* error) {
  Error readError;
  auto hostsText = foundation::FileManager::defaultManager().readText(hostsPath, &readError);
  if (!hostsText) {
    if (error) {
      *error = compilerError(Compiler::kHostsFileUnreadable, "The hosts file " + hostsPath + " could not be read.",
                             &readError);
    }
    return std::nullopt;
  }
  return Compiler::mergeBlock(*hostsText, block);
}

// What an apply takes from the main thread to the queue that installs it.
struct InstallJob {
  std::string block;
  std::string hostsPath;
  std::string stagingPath;
};

// Merges the job's block into the hosts file's text and writes that to the staging file; the error
// when either failed.
std::optional<Error> stage(const InstallJob& job) {
  Error error;
  const auto text = mergedIntoHostsFile(job.block, job.hostsPath, &error);
  if (!text) return error;
  if (!foundation::FileManager::defaultManager().writeText(*text, job.stagingPath, &error)) {
    return compilerError(Compiler::kStagingWriteFailed,
                         "The compiled hosts file could not be written to " + job.stagingPath + ".", &error);
  }
  return std::nullopt;
}

// Hands the outcome to the main queue. There, a success with `marksBefore` marks clean what was
// applied, before `completion` hears of it.
void finishOnMain(Compiler::Completion completion, std::optional<Error> failure,
                  std::optional<std::uint64_t> marksBefore) {
  dispatch::mainQueue()->async([completion = std::move(completion), failure = std::move(failure), marksBefore] {
    if (!failure && marksBefore) ChangeTracker::sharedInstance().markCleanUpTo(*marksBefore);
    if (completion) completion(failure);
  });
}

}  // namespace

std::string Compiler::compileBlock(const std::vector<std::optional<std::string>>& texts) {
  std::string block;
  buildBlock(block, [&](auto&& visit) {
    for (const auto& text : texts) {
      if (text) visit(std::string_view(*text));
    }
  });
  return block;
}

std::string Compiler::mergeBlock(std::string_view hostsText, std::string_view block) {
  enum class State { Outside, Inside, After };
  State state = State::Outside;
  std::string output;
  output.reserve(hostsText.size() + block.size());
  forEachPiece(hostsText, [&](std::string_view line) {
    if (line.empty()) return;
    if (state == State::Inside) {
      if (line == kStop) {
        output.append(block);
        state = State::After;
      }
      return;
    }
    if (state == State::Outside && line == kStart) {
      state = State::Inside;
      return;
    }
    output.append(line);
    endLine(output);
  });
  if (state != State::After) output.append(block);
  return output;
}

std::optional<std::string> Compiler::compile(Error* error) {
  const auto records = enabledRecords();
  if (!records) {
    if (error) *error = storeUnavailableError();
    return std::nullopt;
  }
  std::string block;
  buildBlock(block, contentsOf(*records));
  return mergedIntoHostsFile(block, foundation::SystemPaths::hostsFilePath(), error);
}

// In three steps, so that the main thread only reads the records and copies their texts: there,
// the block is built into memory that a global queue touched first, and the merge, the files and
// the run are that queue's.
void Compiler::apply(Completion completion) {
  const auto records = enabledRecords();
  if (!records) {
    finishOnMain(std::move(completion), storeUnavailableError(), std::nullopt);
    return;
  }
  const auto queue = dispatch::globalQueue(dispatch::QualityOfService::UserInitiated);
  queue->async([queue, capacity = blockSize(contentsOf(*records)), completion = std::move(completion)]() mutable {
    auto job = std::make_shared<InstallJob>(InstallJob{touchedBuffer(capacity), {}, {}});
    dispatch::mainQueue()->async([queue, job = std::move(job), completion = std::move(completion)]() mutable {
      // Read before the records are: a hostfile marked after this point changed after its text
      // was taken, and must stay dirty however the run ends.
      const std::uint64_t marksBefore = ChangeTracker::sharedInstance().markCount();
      // Fetched again: the records may have changed since the size was taken.
      const auto records = enabledRecords();
      if (!records) {
        finishOnMain(std::move(completion), storeUnavailableError(), std::nullopt);
        return;
      }
      buildBlock(job->block, contentsOf(*records));
      job->hostsPath = foundation::SystemPaths::hostsFilePath();
      job->stagingPath = ApplicationExtras::tmpEtcHostsPath();
      std::string command = copyCommand(job->stagingPath);
      queue->async([job = std::move(job), command = std::move(command), marksBefore,
                    completion = std::move(completion)]() mutable {
        auto failure = stage(*job);
        // Not held while the run waits for the password, which may be a long while.
        job.reset();
        if (!failure) failure = runAsAdministrator(command);
        finishOnMain(std::move(completion), std::move(failure), marksBefore);
      });
    });
  });
}

std::optional<Error> Compiler::runAsAdministrator(const std::string& command) {
  foundation::AppleScript script(scriptSource(command));
  Dictionary info;
  if (!script.compileAndReturnError(&info)) {
    return compilerError(kScriptInvalid, "The privileged command could not be prepared.");
  }
  // The log is replaced before the run as well: if it cannot be written, nothing runs, so no
  // privileged run is ever left without its record.
  Error logError;
  if (!writeLog(std::string(), &logError)) {
    return compilerError(kLogWriteFailed,
                         "The log " + foundation::SystemPaths::privilegedRunLogPath() + " could not be written.",
                         &logError);
  }
  auto output = script.executeAndReturnError(&info);
  const std::string logText = output ? *output : "error: " + describeErrorInfo(info);
  // The command has run by now; a log that fails only at this point is reported to the system
  // log and does not turn a successful run into a failure.
  if (!writeLog(logText, &logError)) foundation::logMessage("Could not write the log: " + logError.description());
  if (!output) return runError(info);
  return std::nullopt;
}

void Compiler::flushDNSCache(Completion completion) {
  dispatch::globalQueue(dispatch::QualityOfService::UserInitiated)->async(
      [command = foundation::SystemPaths::flushCacheCommand(), completion = std::move(completion)]() mutable {
        finishOnMain(std::move(completion), runAsAdministrator(command), std::nullopt);
      });
}

std::string Compiler::copyCommand(const std::string& stagingPath) {
  const std::string hostsPath = foundation::SystemPaths::hostsFilePath();
  const std::string staging = foundation::shellQuoted(stagingPath);
  const std::string hosts = foundation::shellQuoted(hostsPath);
  const std::string copyInPlace = "/bin/cp " + staging + " " + hosts;
  // The new text is written and synced to a file of its own beside the hosts file, then renamed
  // over it, so the hosts file is always either the old text or the new one. Only where the
  // rename cannot work does the old in-place copy run: no temporary file can be made in the
  // folder, the rename is refused (a bind-mounted hosts file, as in containers, gives EBUSY or
  // EXDEV), or the hosts file is a symbolic link, which a rename would replace rather than write
  // through. A failure to write the temporary file must not fall back: the disk is full or the
  // staging file is gone, and an in-place copy would then cut the hosts file short.
  return "if [ ! -L " + hosts + " ] && t=$(/bin/mktemp " + foundation::shellQuoted(temporarySiblingTemplate(hostsPath)) +
         "); then "
         "/bin/cp " + staging + " \"$t\" && /bin/chmod 0644 \"$t\" && /bin/sync \"$t\" || { /bin/rm -f \"$t\"; exit 1; }; "
         "/bin/mv -f \"$t\" " + hosts + " || { /bin/rm -f \"$t\"; " + copyInPlace + "; }; "
         "else " + copyInPlace + "; fi && " + foundation::SystemPaths::flushCacheCommand();
}

std::string Compiler::scriptSource(const std::string& command) {
  return "do shell script \"" + foundation::escapedForScriptStringLiteral(command) + "\" with administrator privileges";
}
