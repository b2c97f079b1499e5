#pragma once
// The contracts between the channel units and the ingestions, and between an ingestion and its
// calls. TLIngestionProtocol is what a channel unit sends batches through; TLIngestionDelegate is
// how it hears that the ingestion paused, resumed or met a fatal answer; TLIngestionCallDelegate
// is how a call asks its ingestion for an attempt and reports its end; TLEnable turns a component
// on and off.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLResponse.h"

class TLIngestionCall;
class TLIngestionProtocol;
class TLLogContainer;
class TL_Reachability;

// Told the outcome of a send: the call id (the batch id for the concrete ingestions), the HTTP
// response or null, the response body or nothing, and the error or nothing.
using TLSendAsyncCompletionHandler =
    std::function<void(const std::string& callId, std::shared_ptr<const net::HTTPURLResponse> response,
                       std::optional<foundation::Data> data, std::optional<foundation::Error> error)>;

// How a call ended, as it reports to its ingestion.
enum TLIngestionCallResult : std::int64_t {
  TLIngestionCallResultSuccess = 100,           // also a cancelled request
  TLIngestionCallResultRecoverableError = 500,  // recoverable failures outlasted every retry
  TLIngestionCallResultFatalError = 999,
};

class TLEnable {
 public:
  virtual ~TLEnable() = default;
  // Turns the component on or off; off with `deleteDataOnDisabled` also drops what it holds.
  virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};

class TLIngestionCallDelegate {
 public:
  virtual ~TLIngestionCallDelegate() = default;
  // Starts one HTTP attempt for `call`, unless the ingestion cannot send now.
  virtual void sendCallAsync(const std::shared_ptr<TLIngestionCall>& call) = 0;
  // `call` has ended with `result` (call:completedWithResult:).
  virtual void call(const std::shared_ptr<TLIngestionCall>& call, TLIngestionCallResult result) = 0;
};

// Every operation is optional: the defaults do nothing.
class TLIngestionDelegate {
 public:
  virtual ~TLIngestionDelegate() = default;
  virtual void ingestionDidPause(TLIngestionProtocol& /*ingestion*/) {}
  virtual void ingestionDidResume(TLIngestionProtocol& /*ingestion*/) {}
  virtual void ingestionDidReceiveFatalError(TLIngestionProtocol& /*ingestion*/) {}
};

class TLIngestionProtocol : public TLIngestionCallDelegate, public TLEnable {
 public:
  // Sends `data`, with the auth token when one is given; `handler` hears the outcome once, on
  // the ingestion's session queue (or at once for a payload refused before sending).
  virtual void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                         TLSendAsyncCompletionHandler handler) = 0;
  virtual void sendAsync(std::shared_ptr<TLLogContainer> data, TLSendAsyncCompletionHandler handler) = 0;
  virtual void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                         std::optional<std::string> authToken, TLSendAsyncCompletionHandler handler) = 0;
  // The eTag form without a token (sendAsync:eTag:completionHandler:).
  virtual void sendAsyncWithETag(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                                 TLSendAsyncCompletionHandler handler) = 0;

  // Delegates are held weakly; adding one twice keeps one entry.
  virtual void addDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) = 0;

  virtual void pause() = 0;
  virtual void resume() = 0;
  virtual bool isPaused() const = 0;
  // Whether the ingestion can build requests at all (the Telemetry ingestion needs its secret).
  virtual bool isReadyToSend() const = 0;
  virtual std::shared_ptr<TL_Reachability> reachability() const = 0;
};
