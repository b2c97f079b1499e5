#pragma once
// Exception stands in for the platform's exception object (a name, a reason and the return
// addresses of the call stack that raised it) and for the process-wide uncaught-exception
// handler: the function that is handed an exception nobody caught, just before the process ends.
//
// What it leaves out: no runtime calls the handler by itself here. Code that meets an exception
// nobody handled (the crash service's hook on the C++ terminate path) reads the handler and calls
// it. Exceptions are plain values, safe to copy and to read from any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace foundation {

class Exception {
 public:
  Exception(std::string name, std::string reason, std::vector<std::uint64_t> callStackReturnAddresses = {})
      : name_(std::move(name)), reason_(std::move(reason)), callStack_(std::move(callStackReturnAddresses)) {}
  virtual ~Exception() = default;

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  // The return addresses of the frames that raised the exception, innermost first; may be empty.
  const std::vector<std::uint64_t>& callStackReturnAddresses() const { return callStack_; }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::uint64_t> callStack_;
};

// The handler's type: it may end the process and need not return.
using UncaughtExceptionHandler = void (*)(const Exception& exception);

// Installs `handler` (null removes it) as the process's uncaught-exception handler. Thread-safe.
void NSSetUncaughtExceptionHandler(UncaughtExceptionHandler handler);
// The handler installed now, or null. Thread-safe.
UncaughtExceptionHandler NSGetUncaughtExceptionHandler();

}  // namespace foundation
