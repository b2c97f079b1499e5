#pragma once
// Captures what is written to file descriptor 2 while it lives, where the crash-path diagnostic
// lines go.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

namespace test {

class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/qm-stderr-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(2);
    dup2(file_, 2);
  }
  ~StderrCapture() { restore(); }
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
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  int file_ = -1;
  int saved_ = -1;
};

}  // namespace test
