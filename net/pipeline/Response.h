#pragma once
// The response values a response handler hands to the caller's completion callback: everything
// known about one finished request, frozen into a record. DefaultDataResponse and DataResponse
// (raw error, or a serialized Result) serve data and upload requests; DefaultDownloadResponse and
// DownloadResponse the downloads, with the file locations and resume data in place of the body.
//
// Response is the base they share: the metrics slot, filled once by attachMetrics with the
// task's metrics object. Values are copied freely; copies share the HTTP response, the body, the
// errors and the metrics, which nothing here changes. Safe to read from any thread once built.
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "net/pipeline/Result.h"
#include "net/pipeline/SharedBody.h"
#include "net/pipeline/Timeline.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSessionTaskMetrics.h"

namespace pipeline {

using HTTPResponsePtr = std::shared_ptr<const net::HTTPURLResponse>;

class Response {
 public:
  // The metrics slot: any object, empty when built (the transformations copy it as it is).
  const std::shared_ptr<const foundation::Object>& _metrics() const { return metrics_; }
  void set_metrics(std::shared_ptr<const foundation::Object> metrics) { metrics_ = std::move(metrics); }

  // The slot as task metrics; nothing when it is empty or holds another kind of object.
  std::shared_ptr<const net::URLSessionTaskMetrics> metrics() const {
    return std::dynamic_pointer_cast<const net::URLSessionTaskMetrics>(metrics_);
  }

  // Stores `metrics` when it is a task-metrics object; anything else (or nothing) keeps the slot.
  void attachMetrics(const std::shared_ptr<const foundation::Object>& metrics) {
    if (std::dynamic_pointer_cast<const net::URLSessionTaskMetrics>(metrics)) metrics_ = metrics;
  }

 protected:
  Response() = default;

 private:
  std::shared_ptr<const foundation::Object> metrics_;
};

namespace detail {
// "[Request]: GET <request>" or "[Request]: nil".
std::string requestLine(const std::optional<net::URLRequest>& request);
// "[Response]: <response>" or "[Response]: nil".
std::string responseLine(const HTTPResponsePtr& response);
// "[<label>]: N bytes", 0 for missing bytes.
std::string bytesLine(const char* label, const std::optional<foundation::Data>& bytes);
// "[<label>]: <path>" or "[<label>]: nil".
std::string pathLine(const char* label, const std::optional<net::URL>& url);
}  // namespace detail

class DefaultDataResponse : public Response {
 public:
  DefaultDataResponse(std::optional<net::URLRequest> request, HTTPResponsePtr response,
                      std::optional<foundation::Data> data, std::optional<AnyError> error,
                      Timeline timeline = Timeline())
      : DefaultDataResponse(std::move(request), std::move(response), shareBody(std::move(data)), std::move(error),
                            timeline) {}
  // Over a body shared with others (null counts as none).
  DefaultDataResponse(std::optional<net::URLRequest> request, HTTPResponsePtr response, SharedBody data,
                      std::optional<AnyError> error, Timeline timeline = Timeline())
      : request_(std::move(request)),
        response_(std::move(response)),
        data_(data ? std::move(data) : shareBody(std::nullopt)),
        error_(std::move(error)),
        timeline_(timeline) {}

  const std::optional<net::URLRequest>& request() const { return request_; }
  const HTTPResponsePtr& response() const { return response_; }
  const std::optional<foundation::Data>& data() const { return *data_; }
  // The body as shared with the request's other responses; never null.
  const SharedBody& sharedData() const { return data_; }
  const std::optional<AnyError>& error() const { return error_; }
  const Timeline& timeline() const { return timeline_; }

 private:
  std::optional<net::URLRequest> request_;
  HTTPResponsePtr response_;
  SharedBody data_;
  std::optional<AnyError> error_;
  Timeline timeline_;
};

template <class V>
class DataResponse : public Response {
 public:
  DataResponse(std::optional<net::URLRequest> request, HTTPResponsePtr response, std::optional<foundation::Data> data,
               Result<V> result, Timeline timeline = Timeline())
      : DataResponse(std::move(request), std::move(response), shareBody(std::move(data)), std::move(result), timeline) {}
  // Over a body shared with others (null counts as none).
  DataResponse(std::optional<net::URLRequest> request, HTTPResponsePtr response, SharedBody data, Result<V> result,
               Timeline timeline = Timeline())
      : request_(std::move(request)),
        response_(std::move(response)),
        data_(data ? std::move(data) : shareBody(std::nullopt)),
        result_(std::move(result)),
        timeline_(timeline) {}

  const std::optional<net::URLRequest>& request() const { return request_; }
  const HTTPResponsePtr& response() const { return response_; }
  const std::optional<foundation::Data>& data() const { return *data_; }
  // The body as shared with the request's other responses; never null.
  const SharedBody& sharedData() const { return data_; }
  const Result<V>& result() const { return result_; }
  const Timeline& timeline() const { return timeline_; }
  std::optional<V> value() const { return result_.value(); }
  std::optional<AnyError> error() const { return result_.error(); }

  // result().debugDescription().
  std::string description() const { return result_.debugDescription(); }
  // Five lines: request, response, data size, result and timeline.
  std::string debugDescription() const {
    return detail::requestLine(request_) + "\n" + detail::responseLine(response_) + "\n" +
           detail::bytesLine("Data", *data_) + "\n[Result]: " + result_.debugDescription() +
           "\n[Timeline]: " + timeline_.debugDescription();
  }

  // The same response with result().map(transform) (likewise flatMap, mapError, flatMapError);
  // the other fields and the metrics object are kept.
  template <class F>
  auto map(F&& transform) const {
    return rebuilt(result_.map(std::forward<F>(transform)));
  }
  template <class F>
  auto flatMap(F&& transform) const {
    return rebuilt(result_.flatMap(std::forward<F>(transform)));
  }
  template <class F>
  DataResponse mapError(F&& transform) const {
    return rebuilt(result_.mapError(std::forward<F>(transform)));
  }
  template <class F>
  DataResponse flatMapError(F&& transform) const {
    return rebuilt(result_.flatMapError(std::forward<F>(transform)));
  }

 private:
  template <class W>
  DataResponse<W> rebuilt(Result<W> result) const {
    DataResponse<W> response(request_, response_, data_, std::move(result), timeline_);
    response.set_metrics(_metrics());
    return response;
  }

  std::optional<net::URLRequest> request_;
  HTTPResponsePtr response_;
  SharedBody data_;
  Result<V> result_;
  Timeline timeline_;
};

class DefaultDownloadResponse : public Response {
 public:
  DefaultDownloadResponse(std::optional<net::URLRequest> request, HTTPResponsePtr response,
                          std::optional<net::URL> temporaryURL, std::optional<net::URL> destinationURL,
                          std::optional<foundation::Data> resumeData, std::optional<AnyError> error,
                          Timeline timeline = Timeline())
      : request_(std::move(request)),
        response_(std::move(response)),
        temporaryURL_(std::move(temporaryURL)),
        destinationURL_(std::move(destinationURL)),
        resumeData_(std::move(resumeData)),
        error_(std::move(error)),
        timeline_(timeline) {}

  const std::optional<net::URLRequest>& request() const { return request_; }
  const HTTPResponsePtr& response() const { return response_; }
  const std::optional<net::URL>& temporaryURL() const { return temporaryURL_; }
  const std::optional<net::URL>& destinationURL() const { return destinationURL_; }
  const std::optional<foundation::Data>& resumeData() const { return resumeData_; }
  const std::optional<AnyError>& error() const { return error_; }
  const Timeline& timeline() const { return timeline_; }

 private:
  std::optional<net::URLRequest> request_;
  HTTPResponsePtr response_;
  std::optional<net::URL> temporaryURL_;
  std::optional<net::URL> destinationURL_;
  std::optional<foundation::Data> resumeData_;
  std::optional<AnyError> error_;
  Timeline timeline_;
};

template <class V>
class DownloadResponse : public Response {
 public:
  DownloadResponse(std::optional<net::URLRequest> request, HTTPResponsePtr response,
                   std::optional<net::URL> temporaryURL, std::optional<net::URL> destinationURL,
                   std::optional<foundation::Data> resumeData, Result<V> result, Timeline timeline = Timeline())
      : request_(std::move(request)),
        response_(std::move(response)),
        temporaryURL_(std::move(temporaryURL)),
        destinationURL_(std::move(destinationURL)),
        resumeData_(std::move(resumeData)),
        result_(std::move(result)),
        timeline_(timeline) {}

  const std::optional<net::URLRequest>& request() const { return request_; }
  const HTTPResponsePtr& response() const { return response_; }
  const std::optional<net::URL>& temporaryURL() const { return temporaryURL_; }
  const std::optional<net::URL>& destinationURL() const { return destinationURL_; }
  const std::optional<foundation::Data>& resumeData() const { return resumeData_; }
  const Result<V>& result() const { return result_; }
  const Timeline& timeline() const { return timeline_; }
  std::optional<V> value() const { return result_.value(); }
  std::optional<AnyError> error() const { return result_.error(); }

  // result().debugDescription().
  std::string description() const { return result_.debugDescription(); }
  // Seven lines: request, response, the two file paths, resume data size, result and timeline.
  std::string debugDescription() const {
    return detail::requestLine(request_) + "\n" + detail::responseLine(response_) + "\n" +
           detail::pathLine("TemporaryURL", temporaryURL_) + "\n" + detail::pathLine("DestinationURL", destinationURL_) +
           "\n" + detail::bytesLine("ResumeData", resumeData_) + "\n[Result]: " + result_.debugDescription() +
           "\n[Timeline]: " + timeline_.debugDescription();
  }

  // As DataResponse's transformations; file URLs, resume data, timeline and metrics are kept.
  template <class F>
  auto map(F&& transform) const {
    return rebuilt(result_.map(std::forward<F>(transform)));
  }
  template <class F>
  auto flatMap(F&& transform) const {
    return rebuilt(result_.flatMap(std::forward<F>(transform)));
  }
  template <class F>
  DownloadResponse mapError(F&& transform) const {
    return rebuilt(result_.mapError(std::forward<F>(transform)));
  }
  template <class F>
  DownloadResponse flatMapError(F&& transform) const {
    return rebuilt(result_.flatMapError(std::forward<F>(transform)));
  }

 private:
  template <class W>
  DownloadResponse<W> rebuilt(Result<W> result) const {
    DownloadResponse<W> response(request_, response_, temporaryURL_, destinationURL_, resumeData_, std::move(result),
                                 timeline_);
    response.set_metrics(_metrics());
    return response;
  }

  std::optional<net::URLRequest> request_;
  HTTPResponsePtr response_;
  std::optional<net::URL> temporaryURL_;
  std::optional<net::URL> destinationURL_;
  std::optional<foundation::Data> resumeData_;
  Result<V> result_;
  Timeline timeline_;
};

}  // namespace pipeline
