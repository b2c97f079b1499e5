#include "platform/appkit/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <iterator>

namespace appkit {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's ends; the write end is read by the handler, so it lives in plain globals.
int pipeRead = -1;
volatile sig_atomic_t pipeWrite = -1;
struct sigaction previous[std::size(kSignals)];

void onTerminationSignal(int signo) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  // A full pipe already holds a wake-up, so a failed write loses nothing that matters.
  if (pipeWrite >= 0) {
    const ssize_t written = ::write(pipeWrite, &byte, 1);
    (void)written;
  }
  errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  pipeRead = fds[0];
  pipeWrite = fds[1];
  notifier_ = std::make_unique<QSocketNotifier>(pipeRead, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readPending(); });
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous[i]);
}

TerminationSignals::~TerminationSignals() {
  if (!notifier_) return;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous[i], nullptr);
  notifier_.reset();
  const int writeEnd = pipeWrite;
  pipeWrite = -1;
  ::close(writeEnd);
  ::close(pipeRead);
  pipeRead = -1;
}

void TerminationSignals::readPending() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t count = ::read(pipeRead, bytes, sizeof bytes);
    if (count <= 0) return;
    for (ssize_t i = 0; i < count; ++i) {
      if (onSignal_) onSignal_(bytes[i]);
    }
  }
}

}  // namespace appkit
