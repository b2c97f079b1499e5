#pragma once
// The notification names and user-information keys with which the client announces the life of
// every URL session task on the default notification centre: resume, suspend and cancel (object:
// the request), and completion (object: the session delegate). Constants; safe from any thread.
// Never destroyed: delegate callbacks on worker threads may still post them while the process exits.
#include <string>

namespace pipeline {

struct Notification {
  struct Name {
    struct Task {
      static inline const std::string& DidResume = *new std::string("org.pipeline.notification.name.task.didResume");
      static inline const std::string& DidSuspend = *new std::string("org.pipeline.notification.name.task.didSuspend");
      static inline const std::string& DidCancel = *new std::string("org.pipeline.notification.name.task.didCancel");
      static inline const std::string& DidComplete = *new std::string("org.pipeline.notification.name.task.didComplete");
    };
  };
  struct Key {
    // The task concerned; in all four notifications.
    static inline const std::string& Task = *new std::string("org.pipeline.notification.key.task");
    // The bytes collected for a completed data task; in DidComplete only.
    static inline const std::string& ResponseData = *new std::string("org.pipeline.notification.key.responseData");
  };
};

}  // namespace pipeline
