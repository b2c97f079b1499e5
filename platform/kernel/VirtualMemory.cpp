#include "platform/kernel/VirtualMemory.h"

#include <errno.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kernel {

namespace {

// The kernel reports both an unmapped and an unreadable page as EFAULT. mincore tells them
// apart: it fails with ENOMEM only where nothing is mapped. It sees only the calling process,
// so a fault in another process counts as unmapped.
kern_return_t classifyFault(task_t task, std::uint64_t address) {
  if (task != task_self()) return KERN_INVALID_ADDRESS;
  const auto pageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  unsigned char residency = 0;
  void* page = reinterpret_cast<void*>(address & ~(pageSize - 1));
  if (mincore(page, 1, &residency) != 0) return KERN_INVALID_ADDRESS;
  return KERN_PROTECTION_FAILURE;
}

}  // namespace

kern_return_t vm_read_overwrite(task_t task, std::uint64_t address, std::uint64_t size,
                                void* destination, std::uint64_t* outSize) {
  if (outSize != nullptr) *outSize = 0;
  if (size == 0) return KERN_SUCCESS;
  if (address + size < address) return KERN_INVALID_ADDRESS;

  const int savedErrno = errno;
  std::uint64_t done = 0;
  kern_return_t result = KERN_SUCCESS;
  while (done < size) {
    iovec local{static_cast<char*>(destination) + done, static_cast<size_t>(size - done)};
    iovec remote{reinterpret_cast<void*>(address + done), static_cast<size_t>(size - done)};
    const ssize_t copied = process_vm_readv(task, &local, 1, &remote, 1, 0);
    if (copied > 0) {
      done += static_cast<std::uint64_t>(copied);
      continue;
    }
    if (copied < 0 && errno == EINTR) continue;
    if (copied == 0 || errno == EFAULT) {
      result = classifyFault(task, address + done);
    } else if (errno == ESRCH || errno == EPERM) {
      result = KERN_INVALID_ARGUMENT;
    } else if (errno == ENOMEM) {
      result = KERN_RESOURCE_SHORTAGE;
    } else {
      result = KERN_FAILURE;
    }
    break;
  }
  if (outSize != nullptr) *outSize = done;
  errno = savedErrno;
  return result;
}

}  // namespace kernel
