#include "crash/engine/CrashAsyncMObject.h"

#include "platform/kernel/VirtualMemory.h"

namespace {

// Makes the view of the pages that hold [task_address, task_address + length).
crash_error_t crash_async_mobject_remap_pages_workaround(kernel::task_t task, std::uint64_t task_address,
                                                         std::uint64_t length, bool require_full,
                                                         std::uint64_t* vm_address,
                                                         std::uint64_t* vm_length) {
  const std::uint64_t page_mask = kernel::vm_page_size() - 1;
  const std::uint64_t page_start = task_address & ~page_mask;
  const std::uint64_t total = ((task_address + length + page_mask) & ~page_mask) - page_start;
  const kernel::kern_return_t result =
      kernel::vm_map_readonly(task, page_start, total, require_full, vm_address, vm_length);
  if (result == kernel::KERN_SUCCESS) return CRASH_ESUCCESS;
  if (require_full) {
    CRASH_ASYNC_LOG("Not every page is mappable at 0x%llx: %d",
                    static_cast<unsigned long long>(page_start), result);
  } else {
    CRASH_ASYNC_LOG("No mappable pages found at 0x%llx", static_cast<unsigned long long>(page_start));
  }
  return CRASH_ENOMEM;
}

}  // namespace

crash_error_t crash_async_mobject_init(crash_async_mobject* mobj, kernel::task_t task,
                                       std::uint64_t task_address, std::uint64_t length,
                                       bool require_full) {
  const std::uint64_t page_mask = kernel::vm_page_size() - 1;
  std::uint64_t end = 0;
  if (__builtin_add_overflow(task_address, length, &end) || end > ~page_mask) return CRASH_EINVAL;

  std::uint64_t vm_address = 0;
  std::uint64_t vm_length = 0;
  if (length > 0) {
    const crash_error_t error = crash_async_mobject_remap_pages_workaround(
        task, task_address, length, require_full, &vm_address, &vm_length);
    if (error != CRASH_ESUCCESS) return error;
  }
  const std::uint64_t in_page = task_address & page_mask;
  mobj->task = task;
  mobj->vm_address = vm_address;
  mobj->vm_length = vm_length;
  mobj->address = length > 0 ? vm_address + in_page : 0;
  mobj->length = length;
  if (length > 0 && vm_length - in_page < length) mobj->length = vm_length - in_page;
  mobj->task_address = task_address;
  mobj->vm_slide = static_cast<std::int64_t>(task_address - mobj->address);
  return CRASH_ESUCCESS;
}

void crash_async_mobject_free(crash_async_mobject* mobj) {
  kernel::vm_unmap_readonly(mobj->task, mobj->vm_address, mobj->vm_length);
  mobj->vm_length = 0;
  mobj->length = 0;
}

std::uint64_t crash_async_mobject_base_address(const crash_async_mobject* mobj) {
  return mobj->task_address;
}

std::uint64_t crash_async_mobject_length(const crash_async_mobject* mobj) { return mobj->length; }

kernel::task_t crash_async_mobject_task(const crash_async_mobject* mobj) { return mobj->task; }

bool crash_async_mobject_verify_local_pointer(const crash_async_mobject* mobj, std::uint64_t pointer,
                                              std::int64_t offset, std::uint64_t length) {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  if (!crash_async_address_apply_offset(pointer, offset, &start)) return false;
  if (__builtin_add_overflow(start, length, &end)) return false;
  if (start < mobj->address) return false;
  return end <= mobj->address + mobj->length;
}

void* crash_async_mobject_remap_address(const crash_async_mobject* mobj, std::uint64_t task_address,
                                        std::int64_t offset, std::uint64_t length) {
  const std::uint64_t local = task_address - static_cast<std::uint64_t>(mobj->vm_slide);
  if (!crash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return nullptr;
  return reinterpret_cast<void*>(local + static_cast<std::uint64_t>(offset));
}

namespace {

template <typename T>
crash_error_t readValue(const crash_async_mobject* mobj, std::uint64_t task_address, std::int64_t offset,
                        T* out) {
  const void* local = crash_async_mobject_remap_address(mobj, task_address, offset, sizeof(T));
  if (local == nullptr) return CRASH_EINVAL;
  __builtin_memcpy(out, local, sizeof(T));
  return CRASH_ESUCCESS;
}

}  // namespace

crash_error_t crash_async_mobject_read_uint8(const crash_async_mobject* mobj, std::uint64_t task_address,
                                             std::int64_t offset, std::uint8_t* out) {
  return readValue(mobj, task_address, offset, out);
}

crash_error_t crash_async_mobject_read_uint16(const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder,
                                              std::uint64_t task_address, std::int64_t offset,
                                              std::uint16_t* out) {
  std::uint16_t value = 0;
  const crash_error_t error = readValue(mobj, task_address, offset, &value);
  if (error == CRASH_ESUCCESS) *out = byteorder->swap16(value);
  return error;
}

crash_error_t crash_async_mobject_read_uint32(const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder,
                                              std::uint64_t task_address, std::int64_t offset,
                                              std::uint32_t* out) {
  std::uint32_t value = 0;
  const crash_error_t error = readValue(mobj, task_address, offset, &value);
  if (error == CRASH_ESUCCESS) *out = byteorder->swap32(value);
  return error;
}

crash_error_t crash_async_mobject_read_uint64(const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder,
                                              std::uint64_t task_address, std::int64_t offset,
                                              std::uint64_t* out) {
  std::uint64_t value = 0;
  const crash_error_t error = readValue(mobj, task_address, offset, &value);
  if (error == CRASH_ESUCCESS) *out = byteorder->swap64(value);
  return error;
}
