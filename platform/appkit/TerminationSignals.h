#pragma once
// TerminationSignals turns the signals that ask a process to end (SIGTERM, SIGINT, SIGHUP) into a
// call on the main thread, through a self-pipe watched by Qt's event loop, so the application
// can quit through its orderly path instead of dying mid-write. The signal handler only writes
// one byte; everything else happens later on the main thread.
//
// The crash signals (SIGSEGV, SIGBUS, SIGILL, SIGABRT, SIGFPE, SIGTRAP) are never touched: they
// belong to the crash reporter.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace appkit {

class TerminationSignals {
 public:
  // Installs the handlers and calls `onSignal` with the signal number on the main thread, from
  // Qt's event loop, for each signal that arrives. Call on the main thread after the Qt
  // application object exists; only one instance may live at a time. When the pipe cannot be
  // made, nothing is installed and the default actions stay (isInstalled() says so).
  explicit TerminationSignals(std::function<void(int)> onSignal);
  // Restores the handlers that were in place before and closes the pipe.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  bool isInstalled() const { return notifier_ != nullptr; }

 private:
  void readPending();

  std::function<void(int)> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace appkit
