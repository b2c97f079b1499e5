#include "crash/engine/CrashAsyncSymbols.h"

namespace {

constexpr std::uint64_t kNameLimit = 255;

struct Lookup {
  char name[kNameLimit + 1];
  bool found;
  std::uint64_t address;
};

void fromSymbolTable(std::uint64_t address, const char* name, void* context) {
  auto* lookup = static_cast<Lookup*>(context);
  if (lookup->found && address < lookup->address) return;
  std::uint64_t i = 0;
  for (; i < kNameLimit && name[i] != '\0'; ++i) lookup->name[i] = name[i];
  lookup->name[i] = '\0';
  lookup->address = address;
  lookup->found = true;
}

void fromMetadata(bool is_class_method, crash_async_macho_string* class_name, crash_async_macho_string* method_name,
                  std::uint64_t imp, void* context) {
  auto* lookup = static_cast<Lookup*>(context);
  // At an equal address the metadata's name replaces the symbol table's.
  if (lookup->found && imp < lookup->address) return;

  std::uint64_t class_length = 0;
  std::uint64_t method_length = 0;
  const char* class_chars = nullptr;
  const char* method_chars = nullptr;
  crash_error_t error = crash_async_macho_string_get_length(class_name, &class_length);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_macho_string_get_length(className) error %d", error);
    return;
  }
  error = crash_async_macho_string_get_pointer(class_name, &class_chars);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_macho_string_get_pointer(className) error %d", error);
    return;
  }
  error = crash_async_macho_string_get_length(method_name, &method_length);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_macho_string_get_length(methodName) error %d", error);
    return;
  }
  error = crash_async_macho_string_get_pointer(method_name, &method_chars);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_macho_string_get_pointer(methodName) error %d", error);
    return;
  }

  std::uint64_t at = 0;
  lookup->name[at++] = is_class_method ? '+' : '-';
  lookup->name[at++] = '[';
  for (std::uint64_t i = 0; i < class_length && at < kNameLimit; ++i) lookup->name[at++] = class_chars[i];
  if (at < kNameLimit) lookup->name[at++] = ' ';
  for (std::uint64_t i = 0; i < method_length && at < kNameLimit; ++i) lookup->name[at++] = method_chars[i];
  if (at < kNameLimit) lookup->name[at++] = ']';
  lookup->name[at] = '\0';
  lookup->address = imp;
  lookup->found = true;
}

}  // namespace

crash_error_t crash_async_find_symbol(crash_async_macho* image, std::uint32_t strategy,
                                      crash_async_symbol_cache* cache, std::uint64_t pc,
                                      crash_async_macho_found_symbol_cb callback, void* context) {
  Lookup lookup{};
  crash_error_t symbol_error = CRASH_ENOTFOUND;
  crash_error_t objc_error = CRASH_ENOTFOUND;
  if ((strategy & CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
    symbol_error = crash_async_macho_find_symbol_by_pc(image, pc, fromSymbolTable, &lookup);
  }
  if ((strategy & CRASH_ASYNC_SYMBOL_STRATEGY_OBJC) != 0) {
    objc_error = crash_async_objc_find_method(image, cache, pc, fromMetadata, &lookup);
  }
  if (symbol_error != CRASH_ESUCCESS && objc_error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Could not find symbol for PC %llx image %p", static_cast<unsigned long long>(pc),
                    static_cast<void*>(image));
    CRASH_ASYNC_LOG("crash_async_macho_find_symbol_by_pc error %d, crash_async_objc_find_method error %d",
                    symbol_error, objc_error);
    return symbol_error;
  }
  if (lookup.found) {
    callback(lookup.address, lookup.name, context);
    return CRASH_ESUCCESS;
  }
  CRASH_ASYNC_LOG("Unexpected error occured in symbol lookup callbacks for PC %llx image %p; returning error",
                  static_cast<unsigned long long>(pc), static_cast<void*>(image));
  return CRASH_EINTERNAL;
}
