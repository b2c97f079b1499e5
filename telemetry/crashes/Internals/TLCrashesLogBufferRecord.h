#pragma once
// The crash-time log buffer as the crash path sees it: a fixed array of 60 slots, each holding one
// log that a channel unit has prepared but not yet stored (its archive, one of its target tokens
// encrypted, its internal id) with the paths of the two files it goes to, and the writer that puts
// every slot into its files from inside the crash handler.
//
// The writer runs in a dying process, in a signal handler, while other threads may still be
// changing slots. So slots hold no std::string: every field points to an immutable byte string
// that is published whole with one atomic store and never changed. A replaced string is freed
// only while the writer has not started; once it has, replaced strings are left for the process's
// end, so the writer never reads freed memory. A change of a slot's contents is bracketed by a
// counter, odd while it lasts, so the writer never pairs one log with another log's token.
//
// Filling and clearing slots is the job of TLCrashesLogBuffer, under its lock; only the writer and
// the callback below work without one.
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::size_t kTLCrashesLogBufferSize = 60;

// An immutable byte string: its length, then its bytes and a NUL (so that a path can be opened).
struct TLCrashesLogBufferBytes {
  std::size_t length;
  const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
};

using TLCrashesLogBufferField = std::atomic<const TLCrashesLogBufferBytes*>;

// One slot. A null field is an empty string; a slot whose logData is empty is free.
struct TLCrashesLogBufferRecord {
  TLCrashesLogBufferField bufferFilePath;  // absolute path of the slot's buffer file
  TLCrashesLogBufferField logData;         // the keyed archive of the log
  TLCrashesLogBufferField tokenFilePath;   // absolute path of the slot's token file
  TLCrashesLogBufferField encryptedToken;  // one of the log's target tokens, encrypted; empty for none
  TLCrashesLogBufferField logInternalId;   // the id the channel unit gave the log
  double storedAt;                         // seconds since 1970 when the slot was filled; 0 when cleared
  std::atomic<std::uint32_t> changes;      // odd while logData, encryptedToken or logInternalId change

  // Replaces `field` with a copy of `value` (null for an empty one) and frees the old string, or
  // leaves it, once the crash-time writer has started. Throws std::bad_alloc when out of memory,
  // leaving the field as it was. Call with the buffer's lock held.
  static void store(TLCrashesLogBufferField& field, std::string_view value);
  // The field's bytes; valid until the field is next replaced. Call with the buffer's lock held.
  static std::string_view load(const TLCrashesLogBufferField& field);

  // Bracket a change of logData, encryptedToken and logInternalId. Lock held.
  void beginChange();
  void endChange();
};

// The slots, zero-initialised before any code runs. They live until the process ends, without a
// destructor: a channel's thread may still buffer a log while the process exits.
extern TLCrashesLogBufferRecord tlCrashesLogBuffer[kTLCrashesLogBufferSize];

// Writes each slot's log into its buffer file (created or truncated, mode 0644; an empty file for
// a free slot) and its token into its token file, or removes the token file when the slot has
// none, so that a token left by an earlier crash never goes with a later log. A file that cannot
// be opened is skipped. Returns the result of the last file operation, which means nothing to the
// caller. Async-signal-safe: no allocation, no lock; errno is kept.
extern "C" int tl_save_log_buffer();

// The crash engine's post-crash function: writes the buffer; its arguments are not used.
extern "C" void tl_crash_signal_callback(siginfo_t* info, ucontext_t* uap, void* context);

// Whether tl_save_log_buffer has run in this process. Thread-safe.
bool tl_log_buffer_was_saved();
