#pragma once
// TLChannelProtocol is what channel units and the channel group have in common: they are switched
// on and off (TLEnable), tell channel delegates what happens to logs, and stop sending while any
// identifying object holds a pause.
//
// An identifying object is any object that holds a pause: a service, an ingestion, the unit
// itself. It is compared by identity (the object it owns, whatever pointer type was handed in) and
// held weakly: a holder that goes away stops counting.
#include <memory>

#include "telemetry/core/Internals/Ingestion/TLIngestionProtocol.h"

class TLChannelDelegate;

using TLIdentifyingObject = std::shared_ptr<const void>;

class TLChannelProtocol : public TLEnable {
 public:
  // Adds a delegate (held weakly, once) or removes one; takes effect before the call returns.
  // Thread-safe.
  virtual void addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) = 0;
  // `identifyingObject` starts or stops holding a pause. Thread-safe; the work may finish later.
  virtual void pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) = 0;
  virtual void resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) = 0;
};
