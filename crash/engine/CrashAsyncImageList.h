#pragma once
// The engine's own list of the images loaded into the process, each parsed into an image record
// while the process is healthy, so that the report writer and the stack walkers can list images
// and find the one holding an address at crash time without a lock or a call into the loader.
//
// The list is brought in line with the loader by crash_nasync_image_list_refresh, which costs one
// pass over the loader's objects when nothing changed. The reporter's list is refreshed after each
// dlopen and dlclose (platform/kernel/LoaderObserver.h), at enable and at each live report; an
// image the loader maps on its own between two refreshes is missing from a report written then.
//
// A list made for the calling process follows it into a child it forks: the child's first refresh
// takes out the parent's records (leaving them allocated, since they read the parent) and lists
// the child's images afresh. A fork waits while such a list is being written.
//
// Writers (init, free, append, remove, refresh) are serialised among themselves and are not
// crash-safe. Readers bracket every walk with crash_async_image_list_set_reading(list, true) and
// (list, false); inside the bracket next and containing_address are async-signal-safe, and a
// record they return stays valid, even if removed meanwhile, until the bracket closes.
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncMachO.h"

struct crash_async_image_list_state;

struct crash_async_image_list {
  kernel::task_t task;
  crash_async_image_list_state* list;  // allocated by init
};

// Creates the empty list of `task`'s images. Returns KERN_SUCCESS.
kernel::kern_return_t crash_nasync_image_list_init(crash_async_image_list* list, kernel::task_t task);

// Frees every record and node. No reader may hold the list. Returns KERN_SUCCESS.
kernel::kern_return_t crash_nasync_image_list_free(crash_async_image_list* list);

// Parses the image at `header` and adds it at the tail. An image that cannot be parsed is left
// out with the diagnostic "Unexpected failure initializing Mach-O structure for <path>: <code>".
void crash_nasync_image_list_append(crash_async_image_list* list, std::uint64_t header, const char* path);

// Removes the first image whose header address is `header`; one never appended is reported with
// a diagnostic and changes nothing. Its record is freed once no reader can hold it.
void crash_nasync_image_list_remove(crash_async_image_list* list, std::uint64_t header);

// Brings the list in line with the objects the loader has mapped: appends the new ones in the
// loader's order and removes those that went away. Does nothing when the loader reports no load
// or unload since the last refresh. Only for a list of the calling process (or of its parent,
// in a forked child; see above); does nothing for another.
void crash_nasync_image_list_refresh(crash_async_image_list* list);

// true: a reader starts a walk; false: it ends it. Async-signal-safe.
void crash_async_image_list_set_reading(crash_async_image_list* list, bool enable);

// The image after `current` (the first for null), or null at the end. Aborts without a reading
// reference. Async-signal-safe.
crash_async_macho* crash_async_image_list_next(crash_async_image_list* list, crash_async_macho* current);

// The first image whose text holds `address`, or null. Needs a reading reference.
// Async-signal-safe.
crash_async_macho* crash_async_image_containing_address(crash_async_image_list* list, std::uint64_t address);
