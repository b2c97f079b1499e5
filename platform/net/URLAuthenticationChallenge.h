#pragma once
// URLAuthenticationChallenge stands in for the platform's challenge: what a server asks of the
// client (a protection space), how often the client has already failed it, the credential the
// client would propose, and the response that caused it. Answers are given through the
// completion of the delegate callback that carries the challenge, with one of the dispositions.
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/URLCredential.h"
#include "platform/net/URLProtectionSpace.h"
#include "platform/net/URLResponse.h"

namespace net {

// Challenge dispositions, with the platform's values.
enum class URLSessionAuthChallengeDisposition : int {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelAuthenticationChallenge = 2,
  RejectProtectionSpace = 3,
};

class URLAuthenticationChallenge : public foundation::Object {
 public:
  URLAuthenticationChallenge(URLProtectionSpace space, std::shared_ptr<const URLCredential> proposedCredential,
                             long previousFailureCount, std::shared_ptr<const URLResponse> failureResponse,
                             std::optional<foundation::Error> error)
      : space_(std::move(space)),
        proposed_(std::move(proposedCredential)),
        failures_(previousFailureCount),
        failureResponse_(std::move(failureResponse)),
        error_(std::move(error)) {}

  const URLProtectionSpace& protectionSpace() const { return space_; }
  const std::shared_ptr<const URLCredential>& proposedCredential() const { return proposed_; }
  long previousFailureCount() const { return failures_; }
  const std::shared_ptr<const URLResponse>& failureResponse() const { return failureResponse_; }
  const std::optional<foundation::Error>& error() const { return error_; }

 private:
  URLProtectionSpace space_;
  std::shared_ptr<const URLCredential> proposed_;
  long failures_;
  std::shared_ptr<const URLResponse> failureResponse_;
  std::optional<foundation::Error> error_;
};

}  // namespace net
