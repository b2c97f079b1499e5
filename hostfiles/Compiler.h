#pragma once
// Compiler turns the enabled hostfiles into the new text of the system hosts file and installs
// it. It owns the marked block: the lines between "# QUILLMERE START" and "# QUILLMERE STOP"
// belong to the application, everything outside them belongs to the user and is carried over.
// Installing writes the text to a staging file the user may write, then one privileged shell
// command copies it over the hosts file and flushes the DNS caches.
//
// The hosts file, the flush command, the log and the privileged runner are all reached through
// the platform layer (SystemPaths, AppleScript), which tests point at temporary files and a
// recording runner. compile(), apply() and flushDNSCache() are called on the main thread, which
// owns the default context that the records are read from; the rest of an apply (the hosts file,
// the staging file, the privileged run, which waits while the platform asks for the password)
// runs on a global queue, and its outcome comes back on the main queue.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

class Compiler {
 public:
  Compiler() = delete;

  static constexpr const char* kStartMarker = "# QUILLMERE START";
  static constexpr const char* kStopMarker = "# QUILLMERE STOP";

  // Errors of compile(), apply() and runAsAdministrator(), in this domain; the platform's error,
  // when there is one, is the underlying error.
  static constexpr const char* kErrorDomain = "org.quillmere.Compiler";
  enum ErrorCode : long {
    kHostsFileUnreadable = 1,  // the hosts file could not be read
    kStoreUnavailable = 2,     // the hostfiles could not be fetched
    kStagingWriteFailed = 3,   // the staging file could not be written
    kLogWriteFailed = 4,       // the log could not be written, so nothing was run
    kScriptInvalid = 5,        // the privileged script could not be created from its source
    kPrivilegedRunFailed = 6,  // the run was refused or the command failed; the log has the text
  };

  // The complete new hosts-file text: the hosts file's non-empty lines with the first marked
  // block replaced by the block of the enabled, non-preview hostfiles (or the block appended when
  // there is none). Writes nothing. Nothing, with *error set when given, when the store cannot be
  // fetched from or the hosts file cannot be read: an unread file must never be replaced by a
  // block alone. Main thread.
  static std::optional<std::string> compile(foundation::Error* error = nullptr);

  // The marked block for hostfile texts in this order: "\n# QUILLMERE START\n", each present
  // text followed by "\n" (absent ones add nothing), "# QUILLMERE STOP\n". Lines of a text that
  // equal either marker are left out, so no hostfile can end or restart the block; a text ending
  // in a carriage return gets one more line feed, so that the return cannot pair with the line
  // feed after it and hide the next line. Pure.
  static std::string compileBlock(const std::vector<std::optional<std::string>>& texts);

  // `hostsText` with `block` merged in: lines are split at line feeds (a carriage return and line
  // feed pair is one character and does not split), empty lines are dropped, the first complete
  // marked block is replaced in place, and when there is none (or only a start marker, which drops
  // everything after it) the block is appended. Markers are compared with whole lines exactly.
  // Each line carried over ends in a line feed, two when it ends in a carriage return (as in
  // compileBlock), so merging the output again with the same block gives the same text. Pure.
  static std::string mergeBlock(std::string_view hostsText, std::string_view block);

  // How apply() and flushDNSCache() end, on the main queue: nothing on success, else the error
  // for the application to show.
  using Completion = std::function<void(std::optional<foundation::Error> failure)>;

  // Compiles as compile() does, but off the main thread save for reading the enabled hostfiles
  // and copying their texts into the block: a global queue merges the block into the hosts file's
  // text, writes that atomically in UTF-8 to ApplicationExtras::tmpEtcHostsPath() and runs
  // copyCommand() through runAsAdministrator().
  // When all that succeeded, marks the hostfiles clean in ChangeTracker on the main queue (all but
  // those marked dirty again since their contents were read: that text was not installed), then
  // calls `completion` there. On any error the hosts file is left as the command left it
  // (untouched when the failure came before the run) and the hostfiles stay dirty. Returns at
  // once; `completion` always runs, and never before apply() has returned. One run at a time is
  // the caller's to ensure: two would race for the staging file and the log.
  static void apply(Completion completion);

  // Runs `command` with administrator rights through the script scriptSource(command) and waits.
  // The log (SystemPaths::privilegedRunLogPath(), UTF-8, replaced atomically) then holds the
  // command's output on success, or "error: " and the description of the error information;
  // the default log's folder is made (mode 0700) when missing. Returns nothing on success, else
  // the error. A script that cannot be created runs nothing and writes no log; a log that cannot
  // be written runs nothing. Changes no hostfile state. Blocks; any thread.
  static std::optional<foundation::Error> runAsAdministrator(const std::string& command);

  // The stand-alone DNS-cache flush: runAsAdministrator(SystemPaths::flushCacheCommand()) on a
  // global queue, then `completion` on the main queue. Changes no hostfile state. Returns at
  // once. Main thread.
  static void flushDNSCache(Completion completion);

  // The privileged replacement of the hosts file, then "&& <flush command>": the staging file is
  // copied to a new file in the hosts file's folder (made by the privileged shell, so owned by
  // root, mode 0644, synced) and renamed over the hosts file, which therefore never holds a
  // partial text. The in-place "/bin/cp <staging> <hosts>" runs instead only where the rename
  // cannot work (no file can be made in the folder, the rename is refused as for a bind-mounted
  // hosts file, or the hosts file is a symbolic link). A failed write of the new file fails the
  // command and leaves the hosts file as it was. Every path is quoted as one shell word, so no
  // character of it can break the command. Pure but for reading SystemPaths.
  static std::string copyCommand(const std::string& stagingPath);

  // `do shell script "<command>" with administrator privileges`, the command escaped for the
  // script's string literal (the runner unescapes it). Pure.
  static std::string scriptSource(const std::string& command);
};
