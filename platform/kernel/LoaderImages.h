#pragma once
// What the dynamic loader has mapped into the calling process: each object's ELF header address
// and path, and a count that changes whenever an object is loaded or unloaded.
//
// The loader offers no notification of loads and unloads here (LoaderObserver.h stands in for
// one), so callers compare the count with the one they last saw and list the objects again when
// it moved. Both calls take the loader's own lock: they are for healthy code only, never for a
// signal handler, which may have interrupted the loader while it held that lock.
#include <cstdint>
#include <string>

namespace kernel {

// One loaded object. `path` is the file it was loaded from (the executable's own path for the
// main program, the loader's name for objects without a file such as the kernel's virtual
// shared object), valid only during the visit.
struct loader_image {
  std::uint64_t header_address;
  const char* path;
};

// Calls `visit` once per loaded object, in the loader's order (the main program first). An object
// whose ELF header is not mapped is left out. Not async-signal-safe.
void loader_images(void (*visit)(const loader_image& image, void* context), void* context);

// A number that differs after any load or unload since it was last read. Not async-signal-safe.
std::uint64_t loader_generation();

// The absolute path of the file the main program was loaded from; empty when the system will not
// tell. Not async-signal-safe.
std::string executable_path();

}  // namespace kernel
