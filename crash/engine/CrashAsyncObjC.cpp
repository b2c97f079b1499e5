#include "crash/engine/CrashAsyncObjC.h"

#include "platform/kernel/VirtualMemory.h"

const std::uint64_t CRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK = 0x1FFFFFFF8ull;

namespace {

constexpr std::uint32_t kCpuTypeArm64 = 0x0100000C;
constexpr std::uint32_t kRealized = 0x80000000u;
constexpr std::uint32_t kCopiedReadOnly = 0x08000000u;
constexpr std::uint64_t kClassCacheSlots = 1024;
constexpr std::uint64_t kClassCacheBytes = kClassCacheSlots * 16;

// Layout of the current runtime's structures, by pointer width.
struct Widths {
  std::uint64_t pointer;
  std::uint64_t class_size;      // isa, superclass, cache, vtable, data
  std::uint64_t class_data;      // offset of data
  std::uint64_t rw_size;         // flags, version, read-only pointer
  std::uint64_t rw_ro;
  std::uint64_t ro_size;
  std::uint64_t ro_name;
  std::uint64_t ro_methods;
  std::uint64_t category_size;
  std::uint64_t category_class;
  std::uint64_t category_instance_methods;
  std::uint64_t category_class_methods;
};

constexpr Widths kWidths64 = {8, 40, 32, 16, 8, 72, 24, 32, 48, 8, 16, 24};
constexpr Widths kWidths32 = {4, 20, 16, 12, 8, 40, 16, 20, 24, 4, 8, 12};

const Widths& widths(const crash_async_macho* image) { return image->m64 ? kWidths64 : kWidths32; }

// A pointer-sized value at `bytes` + `offset` in the image's byte order.
std::uint64_t pointerAt(const crash_async_macho* image, const void* bytes, std::uint64_t offset) {
  const auto* p = static_cast<const char*>(bytes) + offset;
  if (image->m64) {
    std::uint64_t value = 0;
    __builtin_memcpy(&value, p, sizeof value);
    return image->byteorder->swap64(value);
  }
  std::uint32_t value = 0;
  __builtin_memcpy(&value, p, sizeof value);
  return image->byteorder->swap32(value);
}

std::uint32_t word32At(const crash_async_macho* image, const void* bytes, std::uint64_t offset) {
  std::uint32_t value = 0;
  __builtin_memcpy(&value, static_cast<const char*>(bytes) + offset, sizeof value);
  return image->byteorder->swap32(value);
}

// The class cache: read-write data address -> read-only data address.
std::uint64_t cacheLookup(const crash_async_objc_cache* cache, std::uint64_t key) {
  if (cache->class_cache_size == 0) return 0;
  const std::uint64_t slot = (key / 4) % cache->class_cache_size;
  if (cache->class_cache_keys[slot] != key) return 0;
  return cache->class_cache_values[slot];
}

void cacheInsert(crash_async_objc_cache* cache, std::uint64_t key, std::uint64_t value) {
  if (cache->class_cache_size == 0) {
    std::uint64_t region = 0;
    const kernel::kern_return_t result = kernel::vm_allocate(kClassCacheBytes, &region);
    if (result != kernel::KERN_SUCCESS) {
      CRASH_ASYNC_LOG("vm_allocate failed with error %x, the class cache could not be initialized and ObjC "
                      "parsing will be substantially slower",
                      result);
      return;
    }
    cache->class_cache_keys = reinterpret_cast<std::uint64_t*>(region);
    cache->class_cache_values = cache->class_cache_keys + kClassCacheSlots;
    cache->class_cache_size = kClassCacheSlots;
  }
  // The first class to claim a slot keeps it.
  const std::uint64_t slot = (key / 4) % cache->class_cache_size;
  if (cache->class_cache_keys[slot] != 0) return;
  cache->class_cache_keys[slot] = key;
  cache->class_cache_values[slot] = value;
}

void unmapSections(crash_async_objc_cache* cache) {
  struct Section {
    bool* mapped;
    crash_async_mobject* mobj;
  };
  const Section sections[] = {{&cache->objc_const_mapped, &cache->objc_const},
                              {&cache->class_list_mapped, &cache->class_list},
                              {&cache->category_list_mapped, &cache->category_list},
                              {&cache->objc_data_mapped, &cache->objc_data}};
  for (const Section& section : sections) {
    if (*section.mapped) crash_async_mobject_free(section.mobj);
    *section.mapped = false;
  }
  cache->last_image = nullptr;
}

// What one parse carries through its walk.
struct Parse {
  crash_async_macho* image;
  crash_async_objc_cache* cache;
  crash_async_objc_found_method_cb callback;
  void* context;
  bool visited;  // a method was handed to the callback
};

void visit(Parse* parse, bool is_class_method, crash_async_macho_string* class_name,
           crash_async_macho_string* method_name, std::uint64_t imp) {
  parse->visited = true;
  parse->callback(is_class_method, class_name, method_name, imp, parse->context);
}

// --- The legacy layout ---------------------------------------------------------------------

// Reads `length` bytes of the task, logging a failure.
crash_error_t taskRead(const crash_async_macho* image, std::uint64_t address, void* destination,
                       std::uint64_t length) {
  const crash_error_t error = crash_async_task_memcpy(image->task, address, 0, destination, length);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(address), error);
  }
  return error;
}

crash_error_t parseLegacyMethodList(Parse* parse, std::uint64_t list, crash_async_macho_string* class_name,
                                    bool is_class_method) {
  const crash_async_macho* image = parse->image;
  std::uint32_t count = 0;
  crash_error_t error = taskRead(image, list + 4, &count, sizeof count);
  if (error != CRASH_ESUCCESS) return error;
  count = image->byteorder->swap32(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t entry[3];  // name, types, implementation
    error = taskRead(image, list + 8 + i * sizeof entry, entry, sizeof entry);
    if (error != CRASH_ESUCCESS) return error;
    crash_async_macho_string method_name;
    crash_async_macho_string_init(&method_name, parse->image, image->byteorder->swap32(entry[0]));
    visit(parse, is_class_method, class_name, &method_name, image->byteorder->swap32(entry[2]));
    crash_async_macho_string_free(&method_name);
  }
  return CRASH_ESUCCESS;
}

crash_error_t parseLegacyClass(Parse* parse, const std::uint8_t klass[40], bool is_class_method) {
  const crash_async_macho* image = parse->image;
  constexpr std::uint32_t kNoMethodArray = 0x4000;
  crash_async_macho_string class_name;
  crash_async_macho_string_init(&class_name, parse->image, word32At(image, klass, 8));
  const std::uint32_t info = word32At(image, klass, 16);
  const std::uint32_t method_lists = word32At(image, klass, 28);
  crash_error_t error = CRASH_ESUCCESS;
  if ((info & kNoMethodArray) != 0) {
    error = parseLegacyMethodList(parse, method_lists, &class_name, is_class_method);
  } else if (method_lists != 0) {
    for (std::uint64_t at = method_lists;; at += 4) {
      std::uint32_t list = 0;
      error = taskRead(image, at, &list, sizeof list);
      if (error != CRASH_ESUCCESS) break;
      list = image->byteorder->swap32(list);
      if (list == 0 || list == 0xFFFFFFFF) break;
      error = parseLegacyMethodList(parse, list, &class_name, is_class_method);
      if (error != CRASH_ESUCCESS) break;
    }
  }
  crash_async_macho_string_free(&class_name);
  return error;
}

// Parses the legacy module list. Returns 8 when the image has none.
crash_error_t parseLegacy(Parse* parse) {
  crash_async_macho* image = parse->image;
  crash_async_mobject modules;
  crash_error_t error = crash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
  if (error == CRASH_ENOTFOUND) return error;
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_macho_map_section(%p, %s, %s, %p) failure %d", static_cast<void*>(image), "__OBJC",
                    "__module_info", static_cast<void*>(&modules), error);
    return error;
  }
  const std::uint64_t base = crash_async_mobject_base_address(&modules);
  const std::uint64_t count = crash_async_mobject_length(&modules) / 16;
  const auto* bytes = static_cast<const std::uint8_t*>(
      crash_async_mobject_remap_address(&modules, base, 0, count * 16));
  if (bytes == nullptr) {
    CRASH_ASYNC_LOG("Failed to obtain pointer from %s memory object", "__module_info");
    crash_async_mobject_free(&modules);
    return CRASH_ENOTFOUND;
  }
  error = CRASH_ENOTFOUND;
  for (std::uint64_t m = 0; m < count; ++m) {
    const std::uint32_t symtab = word32At(image, bytes, m * 16 + 12);
    if (symtab == 0) continue;
    std::uint8_t head[12];
    error = taskRead(image, symtab, head, sizeof head);
    if (error != CRASH_ESUCCESS) break;
    std::uint16_t class_count = 0;
    __builtin_memcpy(&class_count, head + 8, sizeof class_count);
    class_count = image->byteorder->swap16(class_count);
    for (std::uint16_t c = 0; c < class_count && error == CRASH_ESUCCESS; ++c) {
      std::uint32_t pointer = 0;
      std::uint8_t klass[40];
      std::uint8_t metaclass[40];
      error = taskRead(image, symtab + 12 + c * 4u, &pointer, sizeof pointer);
      if (error == CRASH_ESUCCESS) error = taskRead(image, image->byteorder->swap32(pointer), klass, sizeof klass);
      if (error != CRASH_ESUCCESS) break;
      error = parseLegacyClass(parse, klass, false);
      if (error != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("crash_async_objc_parse_obj1_class error %d while parsing class", error);
        break;
      }
      error = taskRead(image, word32At(image, klass, 0), metaclass, sizeof metaclass);
      if (error != CRASH_ESUCCESS) break;
      error = parseLegacyClass(parse, metaclass, true);
      if (error != CRASH_ESUCCESS) CRASH_ASYNC_LOG("crash_async_objc_parse_obj1_class error %d while parsing metaclass", error);
    }
    if (error != CRASH_ESUCCESS) break;
  }
  crash_async_mobject_free(&modules);
  return error;
}

// --- The current layout --------------------------------------------------------------------

crash_error_t mapSections(Parse* parse) {
  crash_async_objc_cache* cache = parse->cache;
  if (cache->last_image == parse->image) return CRASH_ESUCCESS;
  unmapSections(cache);
  struct Section {
    const char* name;
    bool* mapped;
    crash_async_mobject* mobj;
  };
  const Section sections[] = {{"__objc_const", &cache->objc_const_mapped, &cache->objc_const},
                              {"__objc_classlist", &cache->class_list_mapped, &cache->class_list},
                              {"__objc_catlist", &cache->category_list_mapped, &cache->category_list},
                              {"__objc_data", &cache->objc_data_mapped, &cache->objc_data}};
  for (const Section& section : sections) {
    const crash_error_t error = crash_async_macho_map_section(parse->image, "__DATA", section.name, section.mobj);
    if (error == CRASH_ENOTFOUND) return error;
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("crash_async_macho_map_section(%p, %s, %s, %p) failure %d", static_cast<void*>(parse->image),
                      "__DATA", section.name, static_cast<void*>(section.mobj), error);
      return error;
    }
    *section.mapped = true;
  }
  cache->last_image = parse->image;
  return CRASH_ESUCCESS;
}

// Copies the read-only data at `address` into `buffer`: from __objc_const when it lies there,
// else from the task. Returns 0 or the failing code.
crash_error_t readOnlyData(Parse* parse, std::uint64_t address, bool from_task, std::uint8_t* buffer) {
  const Widths& w = widths(parse->image);
  if (!from_task) {
    const void* local = crash_async_mobject_remap_address(&parse->cache->objc_const, address, 0, w.ro_size);
    if (local == nullptr) {
      CRASH_ASYNC_LOG("crash_async_mobject_remap_address at 0x%llx returned NULL", static_cast<unsigned long long>(address));
      return CRASH_EINVALID_DATA;
    }
    crash_async_memcpy(buffer, local, w.ro_size);
    return CRASH_ESUCCESS;
  }
  const crash_error_t error = crash_async_task_memcpy(parse->image->task, address, 0, buffer, w.ro_size);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_task_memcpy at 0x%llx returned NULL", static_cast<unsigned long long>(address));
  }
  return error;
}

// The read-only data of a class whose structure is `klass`. Returns 8 for a class the runtime has
// not realized.
crash_error_t classReadOnlyData(Parse* parse, const void* klass, std::uint8_t* ro) {
  crash_async_macho* image = parse->image;
  const Widths& w = widths(image);
  const std::uint64_t rw = pointerAt(image, klass, w.class_data) & ~std::uint64_t{3};

  const std::uint64_t cached = cacheLookup(parse->cache, rw);
  if (cached != 0) {
    const bool inside = crash_async_mobject_remap_address(&parse->cache->objc_const, cached, 0, w.ro_size) != nullptr;
    const crash_error_t error = readOnlyData(parse, cached, !inside, ro);
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to read validated class_ro data at 0x%llx", static_cast<unsigned long long>(cached));
    }
    return error;
  }

  std::uint8_t head[16];
  const crash_error_t error = taskRead(image, rw, head, w.rw_size);
  if (error != CRASH_ESUCCESS) return error;
  const std::uint32_t flags = word32At(image, head, 0);
  if ((flags & kRealized) == 0) return CRASH_ENOTFOUND;
  const std::uint64_t ro_address = pointerAt(image, head, w.rw_ro);
  const bool from_task = (flags & kCopiedReadOnly) != 0 || !crash_async_macho_contains_address(image, ro_address);
  const crash_error_t read = readOnlyData(parse, ro_address, from_task, ro);
  if (read != CRASH_ESUCCESS) return read;
  cacheInsert(parse->cache, rw, ro_address);
  return CRASH_ESUCCESS;
}

crash_error_t parseMethodList(Parse* parse, std::uint64_t list, crash_async_macho_string* class_name,
                              bool is_class_method) {
  crash_async_macho* image = parse->image;
  const Widths& w = widths(image);
  CRASH_ASYNC_ASSERT(list != 0, "method_list_addr != 0");
  const crash_async_mobject* objc_const = &parse->cache->objc_const;
  const void* head = crash_async_mobject_remap_address(objc_const, list, 0, 8);
  if (head == nullptr) {
    CRASH_ASYNC_LOG("crash_async_mobject_remap_address in objCConstMobj failed to map methods pointer 0x%llx",
                    static_cast<unsigned long long>(list));
    return CRASH_EINVALID_DATA;
  }
  const std::uint64_t entry_size = word32At(image, head, 0) & ~std::uint32_t{3};
  const std::uint64_t count = word32At(image, head, 4);
  // Entries shorter than name, types and implementation would be read past the list; a size of
  // 0 would visit one entry billions of times.
  if (entry_size < 3 * w.pointer) {
    CRASH_ASYNC_LOG("Method list at 0x%llx has entries of %llu bytes", static_cast<unsigned long long>(list),
                    static_cast<unsigned long long>(entry_size));
    return CRASH_EINVALID_DATA;
  }
  const auto* entries = static_cast<const char*>(crash_async_mobject_remap_address(objc_const, list, 8, count * entry_size));
  if (entries == nullptr) {
    CRASH_ASYNC_LOG("crash_async_mobject_remap_address at 0x%llx length %llu returned NULL",
                    static_cast<unsigned long long>(list + 8), static_cast<unsigned long long>(count * entry_size));
    return CRASH_EINVALID_DATA;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const char* entry = entries + i * entry_size;
    crash_async_macho_string method_name;
    crash_async_macho_string_init(&method_name, image, pointerAt(image, entry, 0));
    visit(parse, is_class_method, class_name, &method_name, pointerAt(image, entry, 2 * w.pointer));
    crash_async_macho_string_free(&method_name);
  }
  return CRASH_ESUCCESS;
}

// Parses the methods of the class whose structure is `klass`. Returns 8 for a class the runtime
// has not realized.
crash_error_t parseClass(Parse* parse, const void* klass, bool is_class_method) {
  const Widths& w = widths(parse->image);
  std::uint8_t ro[72];
  crash_error_t error = classReadOnlyData(parse, klass, ro);
  if (error != CRASH_ESUCCESS) return error;
  crash_async_macho_string class_name;
  crash_async_macho_string_init(&class_name, parse->image, pointerAt(parse->image, ro, w.ro_name));
  const std::uint64_t methods = pointerAt(parse->image, ro, w.ro_methods);
  if (methods != 0) error = parseMethodList(parse, methods, &class_name, is_class_method);
  crash_async_macho_string_free(&class_name);
  return error;
}

// The pointers of a whole class or category list and their count, or null after a diagnostic
// naming the list's view.
const void* wholeList(const crash_async_macho* image, const crash_async_mobject* list, const char* view,
                      std::uint64_t* count) {
  const std::uint64_t base = crash_async_mobject_base_address(list);
  const std::uint64_t length = crash_async_mobject_length(list);
  const void* pointers = crash_async_mobject_remap_address(list, base, 0, length);
  if (pointers == nullptr) {
    CRASH_ASYNC_LOG("crash_async_mobject_remap_address in %s for pointer %llx returned NULL", view,
                    static_cast<unsigned long long>(base));
    return nullptr;
  }
  *count = length / widths(image).pointer;
  return pointers;
}

// Parses every class of the class list. Returns 0, or the code that ended the walk.
crash_error_t parseClasses(Parse* parse) {
  crash_async_macho* image = parse->image;
  crash_async_objc_cache* cache = parse->cache;
  const Widths& w = widths(image);
  std::uint64_t count = 0;
  const void* pointers = wholeList(image, &cache->class_list, "objcConstMobj", &count);
  if (pointers == nullptr) return CRASH_EINVALID_DATA;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t class_address = pointerAt(image, pointers, i * w.pointer);
    const void* klass = crash_async_mobject_remap_address(&cache->objc_data, class_address, 0, w.class_size);
    if (klass == nullptr) {
      CRASH_ASYNC_LOG("crash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                      static_cast<unsigned long long>(class_address));
      return CRASH_EINVALID_DATA;
    }
    crash_error_t error = parseClass(parse, klass, false);
    // A class the runtime has not realized has nothing to report, nor has its metaclass.
    if (error == CRASH_ENOTFOUND) continue;
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("crash_async_objc_parse_objc2_class error %d while parsing class", error);
      return error;
    }
    std::uint64_t isa = pointerAt(image, klass, 0);
    if (crash_async_objc_supports_nonptr_isa(crash_async_macho_cpu_type(image)) && (isa & 1) != 0) {
      isa &= CRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK;
    }
    const void* metaclass = crash_async_mobject_remap_address(&cache->objc_data, isa, 0, w.class_size);
    if (metaclass == nullptr) {
      CRASH_ASYNC_LOG("crash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                      static_cast<unsigned long long>(isa));
      return CRASH_EINVALID_DATA;
    }
    error = parseClass(parse, metaclass, true);
    if (error != CRASH_ESUCCESS && error != CRASH_ENOTFOUND) {
      CRASH_ASYNC_LOG("crash_async_objc_parse_objc2_class error %d while parsing metaclass", error);
      return error;
    }
  }
  return CRASH_ESUCCESS;
}

crash_error_t parseCategory(Parse* parse, const void* category) {
  crash_async_macho* image = parse->image;
  crash_async_objc_cache* cache = parse->cache;
  const Widths& w = widths(image);
  const std::uint64_t class_address = pointerAt(image, category, w.category_class);
  // A category of a class that was not there to bind (a missing weak class) names nothing.
  if (class_address == 0) return CRASH_ENOTFOUND;

  std::uint8_t copy[40];
  const void* klass = crash_async_mobject_remap_address(&cache->objc_data, class_address, 0, w.class_size);
  if (klass == nullptr) {
    // A class of another image.
    if (crash_async_task_memcpy(image->task, class_address, 0, copy, w.class_size) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("crash_async_task_memcpy() for pointer %llx returned NULL",
                      static_cast<unsigned long long>(class_address));
      return CRASH_EINVALID_DATA;
    }
    klass = copy;
  }
  std::uint8_t ro[72];
  crash_error_t error = classReadOnlyData(parse, klass, ro);
  if (error != CRASH_ESUCCESS) return error;
  crash_async_macho_string class_name;
  crash_async_macho_string_init(&class_name, image, pointerAt(image, ro, w.ro_name));
  // Either list may be absent: a category may add only class methods, or only instance ones.
  const std::uint64_t instance_methods = pointerAt(image, category, w.category_instance_methods);
  const std::uint64_t class_methods = pointerAt(image, category, w.category_class_methods);
  if (instance_methods != 0) error = parseMethodList(parse, instance_methods, &class_name, false);
  if (error == CRASH_ESUCCESS && class_methods != 0) error = parseMethodList(parse, class_methods, &class_name, true);
  crash_async_macho_string_free(&class_name);
  return error;
}

crash_error_t parseCategories(Parse* parse) {
  crash_async_macho* image = parse->image;
  crash_async_objc_cache* cache = parse->cache;
  const Widths& w = widths(image);
  std::uint64_t count = 0;
  const void* pointers = wholeList(image, &cache->category_list, "catMobj", &count);
  if (pointers == nullptr) return CRASH_EINVALID_DATA;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t category_address = pointerAt(image, pointers, i * w.pointer);
    const void* category = crash_async_mobject_remap_address(&cache->objc_const, category_address, 0, w.category_size);
    if (category == nullptr) {
      CRASH_ASYNC_LOG("crash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                      static_cast<unsigned long long>(category_address));
      return CRASH_EINVALID_DATA;
    }
    const crash_error_t error = parseCategory(parse, category);
    if (error != CRASH_ESUCCESS && error != CRASH_ENOTFOUND) {
      CRASH_ASYNC_LOG("crash_async_objc_parse_objc2_class error %d while parsing class", error);
      return error;
    }
  }
  return CRASH_ESUCCESS;
}

crash_error_t parseCurrent(Parse* parse) {
  crash_error_t error = mapSections(parse);
  if (error != CRASH_ESUCCESS) {
    if (error != CRASH_ENOTFOUND) {
      CRASH_ASYNC_LOG("Unable to map relevant sections for ObjC2 class parsing, error %d", error);
    }
    return error;
  }
  error = parseClasses(parse);
  if (error == CRASH_ESUCCESS) error = parseCategories(parse);
  if (error != CRASH_ESUCCESS) return error;
  // Skipped classes at the end of the lists do not undo what the earlier ones gave.
  if (!parse->visited) return CRASH_ENOTFOUND;
  parse->cache->got_objc2_info = true;
  return CRASH_ESUCCESS;
}

}  // namespace

crash_error_t crash_async_objc_cache_init(crash_async_objc_cache* cache) {
  crash_async_memset(cache, 0, sizeof *cache);
  return CRASH_ESUCCESS;
}

crash_error_t crash_async_symbol_cache_init(crash_async_symbol_cache* cache) {
  return crash_async_objc_cache_init(cache);
}

void crash_async_objc_cache_free(crash_async_objc_cache* cache) {
  unmapSections(cache);
  if (cache->class_cache_size != 0) {
    kernel::vm_deallocate(reinterpret_cast<std::uint64_t>(cache->class_cache_keys), cache->class_cache_size * 16);
    cache->class_cache_size = 0;
    cache->class_cache_keys = nullptr;
    cache->class_cache_values = nullptr;
  }
}

void crash_async_symbol_cache_free(crash_async_symbol_cache* cache) { crash_async_objc_cache_free(cache); }

bool crash_async_objc_supports_nonptr_isa(std::uint32_t cpu_type) { return cpu_type == kCpuTypeArm64; }

crash_error_t crash_async_objc_parse(crash_async_macho* image, crash_async_objc_cache* cache,
                                     crash_async_objc_found_method_cb callback, void* context) {
  if (cache == nullptr) return CRASH_EACCESS;
  Parse parse{image, cache, callback, context, false};
  if (!cache->got_objc2_info) {
    const crash_error_t legacy = parseLegacy(&parse);
    if (legacy != CRASH_ESUCCESS && legacy != CRASH_ENOTFOUND) return legacy;
    if (legacy == CRASH_ESUCCESS && parse.visited) return legacy;
  }
  return parseCurrent(&parse);
}

namespace {

struct BestAddress {
  std::uint64_t pc;
  std::uint64_t best;
};

struct Handover {
  std::uint64_t address;
  bool done;
  crash_async_objc_found_method_cb callback;
  void* context;
};

}  // namespace

crash_error_t crash_async_objc_find_method(crash_async_macho* image, crash_async_objc_cache* cache, std::uint64_t pc,
                                           crash_async_objc_found_method_cb callback, void* context) {
  BestAddress search{pc, 0};
  crash_error_t error = crash_async_objc_parse(
      image, cache,
      [](bool, crash_async_macho_string*, crash_async_macho_string*, std::uint64_t imp, void* data) {
        auto* s = static_cast<BestAddress*>(data);
        if (imp <= s->pc && imp > s->best) s->best = imp;
      },
      &search);
  if (error == CRASH_ENOTFOUND) return error;
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_objc_parse(%p, 0x%llx, %p, %p) failure %d", static_cast<void*>(image),
                    static_cast<unsigned long long>(pc), reinterpret_cast<void*>(callback), context, error);
    return error;
  }
  if (search.best == 0) return CRASH_ENOTFOUND;

  Handover handover{search.best, false, callback, context};
  return crash_async_objc_parse(
      image, cache,
      [](bool is_class_method, crash_async_macho_string* class_name, crash_async_macho_string* method_name,
         std::uint64_t imp, void* data) {
        auto* h = static_cast<Handover*>(data);
        if (h->done || imp != h->address) return;
        h->done = true;
        h->callback(is_class_method, class_name, method_name, imp, h->context);
      },
      &handover);
}
