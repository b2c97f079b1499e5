#pragma once
// Captures what is written to file descriptor 2 while it lives, where the crash-path diagnostic
// lines go. The engine writes them only at its debug level, so a capture raises the level to it
// for its lifetime unless told to keep the level as it is.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "crash/engine/CrashAsync.h"

namespace test {

class StderrCapture {
 public:
  enum class Level { Debug, Unchanged };
  explicit StderrCapture(Level level = Level::Debug) : savedLevel_(crash_async_log_get_level()) {
    if (level == Level::Debug) crash_async_log_set_level(CRASH_ASYNC_LOG_DEBUG);
    fflush(stderr);
    char path[] = "/tmp/qm-stderr-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(2);
    dup2(file_, 2);
  }
  ~StderrCapture() {
    restore();
    close(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far; ends the capture.
  std::string text() {
    restore();
    std::string contents;
    char buffer[512];
    lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = read(file_, buffer, sizeof buffer)) > 0;) contents.append(buffer, n);
    return contents;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
    crash_async_log_set_level(savedLevel_);
  }
  crash_async_log_level savedLevel_;
  int file_ = -1;
  int saved_ = -1;
};

}  // namespace test
