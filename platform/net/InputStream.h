#pragma once
// The URL loading layer reads request bodies through the foundation's input streams; the name
// is kept here for its callers.
#include "platform/foundation/Stream.h"

namespace net {

using InputStream = foundation::InputStream;

}  // namespace net
