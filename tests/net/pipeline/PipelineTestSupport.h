#pragma once
// Small helpers for the pipeline tests: catching what the client throws.
#include <optional>

#include "net/pipeline/PipelineError.h"
#include "net/pipeline/Result.h"

namespace test {

// The AnyError that `f` throws, or nothing when it returns normally.
template <class F>
std::optional<pipeline::AnyError> thrownBy(F&& f) {
  try {
    f();
  } catch (const pipeline::AnyError& error) {
    return error;
  }
  return std::nullopt;
}

// The PipelineError inside `error`, or nullptr.
inline const pipeline::PipelineError* pipelineError(const std::optional<pipeline::AnyError>& error) {
  return error ? error->as<pipeline::PipelineError>() : nullptr;
}

}  // namespace test
