#pragma once
// Once stands in for the platform's once predicates: a block that runs exactly once per process
// however many threads race to it, the others waiting until it has finished.
#include <mutex>

#include "platform/dispatch/Time.h"

namespace dispatch {

class Once {
 public:
  // Runs `block` if no call on this predicate has run one yet; every caller returns only after
  // the one run has finished. If the block throws, a later call runs again. Thread-safe.
  void operator()(const Block& block) { std::call_once(flag_, block); }

 private:
  std::once_flag flag_;
};

}  // namespace dispatch
