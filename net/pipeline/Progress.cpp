#include "net/pipeline/Progress.h"

namespace pipeline {

std::shared_ptr<Progress> Progress::create(std::int64_t totalUnitCount) {
  return std::make_shared<Progress>(totalUnitCount);
}

double Progress::fractionCompleted() const {
  const std::int64_t total = totalUnitCount();
  if (total <= 0) return 0.0;
  return static_cast<double>(completedUnitCount()) / static_cast<double>(total);
}

std::string Progress::description() const {
  return "<Progress: " + std::to_string(completedUnitCount()) + " of " + std::to_string(totalUnitCount()) + ">";
}

}  // namespace pipeline
