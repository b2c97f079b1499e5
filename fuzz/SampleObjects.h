#pragma once
// SampleObjects builds one filled-in instance of each kind of archived object the keyed-archive
// targets decode, made the way the tests make theirs: the Relay client's serializers and policy,
// the platform's URL, index set and session configuration, and the telemetry SDK's logs, models
// and histories. Archived, they are those targets' generated seeds.
#include <memory>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"
#include "platform/foundation/Value.h"

namespace fuzz {

// Registers every archivable class of the client and of the telemetry SDK (core, analytics and
// crashes); the platform's own classes register themselves. Then checks that every class the
// targets expect is known, and ends the process with a message when one is not.
void registerEveryArchivableClass();

// The names of every class registerEveryArchivableClass makes sure of.
std::vector<std::string> registeredClassNames();

// A valid log of each kind the telemetry store keeps, with a target token each, so that each
// converts to the common schema.
std::vector<std::shared_ptr<TLAbstractLog>> sampleLogs();

// The telemetry samples above, their parts, and the client's and platform's objects, each as
// the root of one archive.
std::vector<foundation::Value> sampleArchiveRoots();

}  // namespace fuzz
