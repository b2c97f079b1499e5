#pragma once
// TLServiceClass names a service class to the SDK entry's start operations, as the platform hands
// classes around: the class's name for log lines, and its class operations sharedInstance,
// serviceName and logTag.
//
// Make one with TLServiceClass::of<T>(), where T has the static operations
//   static std::shared_ptr<T> sharedInstance();
//   static std::string serviceName();   // "Analytics"; also what "TELEMETRY_DISABLE" names
//   static std::string logTag();
// A T that does not derive from TLServiceInternal gives a descriptor that is not a service
// (isService() false): the entry refuses it with an ERROR line, as it refuses any class that does
// not conform. Copyable; thread-safe as far as T's operations are.
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "telemetry/core/TLServiceInternal.h"

class TLServiceClass {
 public:
  using SharedInstance = std::function<std::shared_ptr<TLServiceInternal>()>;

  // A service class by hand: its name, shared-instance getter (empty: not a service), service
  // name and log tag.
  TLServiceClass(std::string className, SharedInstance sharedInstance, std::string serviceName, std::string logTag)
      : className_(std::move(className)),
        sharedInstance_(std::move(sharedInstance)),
        serviceName_(std::move(serviceName)),
        logTag_(std::move(logTag)) {}

  // The descriptor of class T (see above).
  template <class T>
  static TLServiceClass of() {
    if constexpr (std::is_base_of_v<TLServiceInternal, T>) {
      return TLServiceClass(demangledName(typeid(T)),
                            []() -> std::shared_ptr<TLServiceInternal> { return T::sharedInstance(); },
                            T::serviceName(), T::logTag());
    } else {
      return TLServiceClass(demangledName(typeid(T)), {}, {}, {});
    }
  }

  // The class's name as written in the source ("TLAnalytics").
  const std::string& className() const { return className_; }
  // Whether the class is a service at all.
  bool isService() const { return static_cast<bool>(sharedInstance_); }
  // The class's shared instance; null when it is not a service.
  std::shared_ptr<TLServiceInternal> sharedInstance() const {
    return sharedInstance_ ? sharedInstance_() : nullptr;
  }
  const std::string& serviceName() const { return serviceName_; }
  const std::string& logTag() const { return logTag_; }

  // The readable name of a type ("TLAnalytics" rather than the mangled "11TLAnalytics").
  static std::string demangledName(const std::type_info& type);

 private:
  std::string className_;
  SharedInstance sharedInstance_;
  std::string serviceName_;
  std::string logTag_;
};
