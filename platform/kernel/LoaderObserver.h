#pragma once
// Functions to run whenever the dynamic loader loads or unloads objects: the stand-in for the
// loader's add-image and remove-image callbacks, which this system's loader does not offer.
//
// This library defines dlopen and dlclose itself. The executable exports both (see the link options
// of the platform_kernel target), so every call in the process, those made inside other
// libraries included, comes here first. Each call is passed to the loader, and when it succeeds
// and is not nested in another one (a library's constructor that opens a library, an observer that
// does), every observer runs on the calling thread, after the loader has let go of its lock.
//
// Left out: loads the loader makes on its own behalf, such as the C library's modules for name
// services and character sets. An observer that must miss nothing also compares
// loader_generation (LoaderImages.h) with the value it saw last.
//
// A file name that the loader resolves relative to the library that calls it (a bare name, looked
// up in the caller's own search path first, or one holding $ORIGIN) is resolved here for that
// caller as the loader would, since the loader itself sees only this definition as the caller.
// What is not carried over: the search path of the library that loaded the caller, when the
// caller has none of its own, and a caller's private namespace (dlmopen); such a call behaves as
// if the executable had made it.
namespace kernel {

using loader_observer = void (*)(void* context);

// Runs `observer(context)` after each load or unload from now on. Returns false when 8 observers
// are registered already. Not async-signal-safe; an observer must not add or remove observers.
bool loader_add_observer(loader_observer observer, void* context);

// Stops running the observer registered with this pair; once it returns, no call of it is under
// way on any thread. An unknown pair changes nothing. Not async-signal-safe.
void loader_remove_observer(loader_observer observer, void* context);

}  // namespace kernel
