#include "telemetry/crashes/Internals/TLCrashesLogBufferRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crash/engine/CrashAsyncFile.h"

TLCrashesLogBufferRecord tlCrashesLogBuffer[kTLCrashesLogBufferSize];

namespace {

std::atomic<bool> gSaved{false};

// How often the writer looks again at a slot that is being changed. A change is a few stores on
// another thread; a slot that stays odd is being changed by the crashed thread itself.
constexpr int kReadAttempts = 1000;

void release(const TLCrashesLogBufferBytes* bytes) {
  if (bytes == nullptr || gSaved.load()) return;
  free(const_cast<TLCrashesLogBufferBytes*>(bytes));
}

// The log and token of `slot` as one consistent pair, or both null when none could be read.
void readContents(const TLCrashesLogBufferRecord& slot, const TLCrashesLogBufferBytes** data,
                  const TLCrashesLogBufferBytes** token) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const std::uint32_t before = slot.changes.load();
    if (before % 2 != 0) continue;
    *data = slot.logData.load();
    *token = slot.encryptedToken.load();
    if (slot.changes.load() == before) return;
  }
  *data = nullptr;
  *token = nullptr;
}

int writeFile(const TLCrashesLogBufferBytes* path, const TLCrashesLogBufferBytes* contents) {
  const int fd = open(path->bytes(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fd;
  if (contents != nullptr) crash_async_writen(fd, contents->bytes(), contents->length);
  return close(fd);
}

}  // namespace

void TLCrashesLogBufferRecord::store(TLCrashesLogBufferField& field, std::string_view value) {
  TLCrashesLogBufferBytes* bytes = nullptr;
  if (!value.empty()) {
    bytes = static_cast<TLCrashesLogBufferBytes*>(malloc(sizeof(TLCrashesLogBufferBytes) + value.size() + 1));
    if (bytes == nullptr) throw std::bad_alloc();
    bytes->length = value.size();
    char* text = const_cast<char*>(bytes->bytes());
    std::memcpy(text, value.data(), value.size());
    text[value.size()] = '\0';
  }
  // The exchange comes before the look at the writer's flag, and the writer sets its flag before
  // it reads a field: either the writer reads the new string, or this sees the flag and keeps
  // the old one alive.
  release(field.exchange(bytes));
}

std::string_view TLCrashesLogBufferRecord::load(const TLCrashesLogBufferField& field) {
  const auto* bytes = field.load();
  return bytes != nullptr ? std::string_view(bytes->bytes(), bytes->length) : std::string_view();
}

void TLCrashesLogBufferRecord::beginChange() { changes.fetch_add(1); }

void TLCrashesLogBufferRecord::endChange() { changes.fetch_add(1); }

extern "C" int tl_save_log_buffer() {
  const int savedErrno = errno;
  gSaved.store(true);
  int result = 0;
  for (const auto& slot : tlCrashesLogBuffer) {
    const TLCrashesLogBufferBytes* data = nullptr;
    const TLCrashesLogBufferBytes* token = nullptr;
    readContents(slot, &data, &token);
    if (const auto* path = slot.bufferFilePath.load()) result = writeFile(path, data);
    const auto* tokenPath = slot.tokenFilePath.load();
    if (tokenPath == nullptr) continue;
    result = token != nullptr && data != nullptr ? writeFile(tokenPath, token) : unlink(tokenPath->bytes());
  }
  errno = savedErrno;
  return result;
}

extern "C" void tl_crash_signal_callback(siginfo_t*, ucontext_t*, void*) {
  tl_save_log_buffer();
}

bool tl_log_buffer_was_saved() { return gSaved.load(); }
