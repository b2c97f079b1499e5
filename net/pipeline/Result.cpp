#include "net/pipeline/Result.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>

#include "net/pipeline/AdaptError.h"
#include "net/pipeline/PipelineError.h"
#include "platform/foundation/Error.h"

namespace pipeline {

namespace detail {

std::string typeName(const std::type_info& type) {
  int status = 0;
  char* readable = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = (status == 0 && readable) ? readable : type.name();
  std::free(readable);
  return name;
}

}  // namespace detail

std::string AnyError::genericDescription(const std::type_info& type) {
  return "The operation couldn\u2019t be completed. (" + detail::typeName(type) + " error 1.)";
}

AnyError AnyError::fromCurrentException() {
  try {
    throw;
  } catch (const AnyError& error) {
    return error;
  } catch (const PipelineError& error) {
    return AnyError(error);
  } catch (const AdaptError& error) {
    return AnyError(error);
  } catch (const foundation::Error& error) {
    return AnyError(error);
  } catch (const std::exception& exception) {
    return AnyError(ThrownException{detail::typeName(typeid(exception)), exception.what()});
  } catch (...) {
    return AnyError(ThrownException{"unknown", "An unknown error was thrown."});
  }
}

}  // namespace pipeline
