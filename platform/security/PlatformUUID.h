#pragma once
// PlatformUUID stands in for the machine's platform UUID of the hardware registry. Linux keeps a
// machine id in /etc/machine-id (SystemPaths::machineIdPath), which must not leave the machine as
// it stands, so the id answered is derived from it per application: the HMAC-SHA256 of the
// application id under the machine id's 16 bytes, whose first 16 bytes become a version-4 UUID.
// One machine and one application always give the same UUID; two applications get unrelated
// ones, and none reveals the machine id.
//
// The file is read at every call. Stateless and thread-safe.
#include <optional>
#include <string_view>

#include "platform/foundation/SystemPaths.h"
#include "platform/foundation/UUID.h"

namespace security {

// The UUID of this machine for `applicationId`; nothing when the machine id file is missing or
// does not hold 32 hexadecimal digits (an image not yet booted holds "uninitialized").
std::optional<foundation::UUID> platformUUID(
    std::string_view applicationId = foundation::kApplicationBundleIdentifier);

}  // namespace security
