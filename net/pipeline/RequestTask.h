#pragma once
// RequestTask is what a request is made from: which kind of request it is, the description of
// its task, and the task itself (absent when creating it failed).
#include <memory>

#include "net/pipeline/TaskConvertible.h"
#include "platform/net/URLSessionTask.h"

namespace pipeline {

struct RequestTask {
  enum class Kind { data, download, upload, stream };

  Kind kind = Kind::data;
  std::shared_ptr<const TaskConvertible> taskConvertible;
  net::TaskPtr task;

  static RequestTask data(std::shared_ptr<const TaskConvertible> description, net::TaskPtr task) {
    return {Kind::data, std::move(description), std::move(task)};
  }
  static RequestTask download(std::shared_ptr<const TaskConvertible> description, net::TaskPtr task) {
    return {Kind::download, std::move(description), std::move(task)};
  }
  static RequestTask upload(std::shared_ptr<const TaskConvertible> description, net::TaskPtr task) {
    return {Kind::upload, std::move(description), std::move(task)};
  }
  static RequestTask stream(std::shared_ptr<const TaskConvertible> description, net::TaskPtr task) {
    return {Kind::stream, std::move(description), std::move(task)};
  }
};

}  // namespace pipeline
