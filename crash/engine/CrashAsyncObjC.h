#pragma once
// Names of object-runtime methods read from an image's class metadata, with crash-safe reads only:
// the legacy layout (the __OBJC,__module_info section of 32-bit images) and the current one (the
// __objc_* sections of __DATA). Only classes the runtime has realized carry the read-write data
// that leads to their methods; the others are skipped.
//
// Every routine is async-signal-safe and allocates no heap; the class cache is one anonymous
// region, allocated on first use.
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncMachO.h"

// Section views and class cache reused across lookups; owned by one report writer for one report.
struct crash_async_objc_cache {
  bool got_objc2_info;  // set after the first successful parse of the current layout
  crash_async_macho* last_image;  // the image whose sections are mapped, or null
  bool objc_const_mapped;
  crash_async_mobject objc_const;
  bool class_list_mapped;
  crash_async_mobject class_list;
  bool category_list_mapped;
  crash_async_mobject category_list;
  bool objc_data_mapped;
  crash_async_mobject objc_data;
  std::uint64_t class_cache_size;  // slots
  std::uint64_t* class_cache_keys;    // read-write data addresses
  std::uint64_t* class_cache_values;  // read-only data addresses
};
typedef crash_async_objc_cache crash_async_symbol_cache;

// The mask that takes a metaclass address out of a non-pointer isa.
extern const std::uint64_t CRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK;

// A method found in the metadata: class method or not, class and method names (strings of the
// image, valid during the call), implementation address.
typedef void (*crash_async_objc_found_method_cb)(bool is_class_method, crash_async_macho_string* class_name,
                                                 crash_async_macho_string* method_name, std::uint64_t imp,
                                                 void* context);

// Clears the cache. Returns 0.
crash_error_t crash_async_objc_cache_init(crash_async_objc_cache* cache);
crash_error_t crash_async_symbol_cache_init(crash_async_symbol_cache* cache);
// Releases the section views and the class cache.
void crash_async_objc_cache_free(crash_async_objc_cache* cache);
void crash_async_symbol_cache_free(crash_async_symbol_cache* cache);

// Whether images of `cpu_type` may keep the metaclass in a non-pointer isa (arm64 only).
bool crash_async_objc_supports_nonptr_isa(std::uint32_t cpu_type);

// Calls `callback` for every method of every realized class and category of `image`. Returns 0
// when at least one method was visited; 8 when none was (no metadata, or no realized class);
// 7 without a cache; 9 for metadata pointing outside its sections; another code when a section
// or task read fails.
crash_error_t crash_async_objc_parse(crash_async_macho* image, crash_async_objc_cache* cache,
                                     crash_async_objc_found_method_cb callback, void* context);

// Finds the method with the greatest implementation address not above `pc` and hands it to
// `callback` once. Returns 0; 8 when no method starts at or below the pc; the parse's code.
crash_error_t crash_async_objc_find_method(crash_async_macho* image, crash_async_objc_cache* cache, std::uint64_t pc,
                                           crash_async_objc_found_method_cb callback, void* context);
