#pragma once
// DownloadTaskDelegate is the task delegate of download requests: it moves the finished file to
// the destination the caller chose (removing an old file or creating folders when asked), keeps
// resume data from a failed or cancelled transfer, and the download progress.
#include <cstdint>
#include <memory>
#include <optional>

#include "net/pipeline/DownloadOptions.h"
#include "net/pipeline/Progress.h"
#include "net/pipeline/TaskDelegate.h"

namespace pipeline {

class DownloadTaskDelegate : public TaskDelegate {
 public:
  explicit DownloadTaskDelegate(net::TaskPtr task);

  std::shared_ptr<Progress> progress() const;
  // Bytes from which a later download can continue; none until a transfer left some.
  std::optional<foundation::Data> resumeData() const;
  void setResumeData(std::optional<foundation::Data> data);
  // Where the session put the file, and where it was moved to (when a destination was asked).
  std::optional<net::URL> temporaryURL() const;
  std::optional<net::URL> destinationURL() const;
  // The resume data.
  std::optional<foundation::Data> data() const override;
  void reset() override;

  // Settings.
  Locked<std::optional<ProgressHandler>> progressHandler;
  Locked<DownloadDestination> destination;

  // Override slots. The first one is stored for callers only: the file move never consults it.
  CallbackSlot<net::URL(const net::URLSessionPtr&, const net::DownloadTaskPtr&, const net::URL&)>
      downloadTaskDidFinishDownloadingToURL;
  CallbackSlot<void(const net::URLSessionPtr&, const net::DownloadTaskPtr&, std::int64_t, std::int64_t, std::int64_t)>
      downloadTaskDidWriteData;
  CallbackSlot<void(const net::URLSessionPtr&, const net::DownloadTaskPtr&, std::int64_t, std::int64_t)>
      downloadTaskDidResumeAtOffset;

  // The file move: without a destination or an HTTP response the file stays where it is;
  // otherwise the destination's options are applied and the file moved. The first failing step
  // stops the move and its error replaces the recorded error.
  void didFinishDownloadingToURL(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                 const net::URL& location);
  void didWriteData(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t bytesWritten,
                    std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);
  void didResumeAtOffset(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t fileOffset,
                         std::int64_t expectedTotalBytes);
  // As the base, and keeps the resume data that the error carries.
  void didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                            const std::optional<AnyError>& error) override;

 private:
  std::shared_ptr<Progress> progress_;
  std::optional<foundation::Data> resumeData_;
  std::optional<net::URL> temporaryURL_;
  std::optional<net::URL> destinationURL_;
};

}  // namespace pipeline
