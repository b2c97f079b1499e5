#include "platform/kernel/VirtualMemory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kernel {

namespace {

// The kernel reports both an unmapped and an unreadable page as EFAULT. mincore tells them
// apart: it fails with ENOMEM only where nothing is mapped. It sees only the calling process,
// so a fault in another process counts as unmapped.
kern_return_t classifyFault(task_t task, std::uint64_t address) {
  if (task != task_self()) return KERN_INVALID_ADDRESS;
  unsigned char residency = 0;
  void* page = reinterpret_cast<void*>(address & ~(vm_page_size() - 1));
  if (mincore(page, 1, &residency) != 0) return KERN_INVALID_ADDRESS;
  return KERN_PROTECTION_FAILURE;
}

// How many pages from `address` on can be read, counting from the first until one cannot.
// One byte of each page is copied, a batch of pages per call; the batch is small because this
// may run on a signal's alternate stack.
std::uint64_t readablePages(task_t task, std::uint64_t address, std::uint64_t pages) {
  constexpr std::uint64_t kBatch = 32;
  const std::uint64_t page = vm_page_size();
  const int savedErrno = errno;
  char sink[kBatch];
  iovec remote[kBatch];
  std::uint64_t done = 0;
  while (done < pages) {
    const std::uint64_t batch = pages - done < kBatch ? pages - done : kBatch;
    for (std::uint64_t i = 0; i < batch; ++i) {
      remote[i].iov_base = reinterpret_cast<void*>(address + (done + i) * page);
      remote[i].iov_len = 1;
    }
    iovec local{sink, static_cast<size_t>(batch)};
    const ssize_t copied = process_vm_readv(task, &local, 1, remote, batch, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) break;
    done += static_cast<std::uint64_t>(copied);
    if (static_cast<std::uint64_t>(copied) < batch) break;
  }
  errno = savedErrno;
  return done;
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

std::uint64_t vm_page_size() {
  // getpagesize answers from the loader's records without a system call or a lock.
  static_assert(sizeof(int) <= sizeof(std::uint64_t));
  return static_cast<std::uint64_t>(getpagesize());
}

kern_return_t vm_map_readonly(task_t task, std::uint64_t address, std::uint64_t size, bool requireFull,
                              std::uint64_t* localAddress, std::uint64_t* mappedSize) {
  const std::uint64_t page = vm_page_size();
  if (size == 0 || (address & (page - 1)) != 0) return KERN_INVALID_ARGUMENT;
  if (address + size < address || address + size > ~std::uint64_t{0} - page) return KERN_INVALID_ADDRESS;
  const std::uint64_t pages = (size + page - 1) / page;
  const std::uint64_t readable = readablePages(task, address, pages);
  if (readable == 0 || (requireFull && readable < pages)) return KERN_INVALID_ADDRESS;
  std::uint64_t length = readable * page;

  if (task == task_self()) {
    *localAddress = address;
    *mappedSize = length;
    return KERN_SUCCESS;
  }
  void* copy = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy == MAP_FAILED) return KERN_RESOURCE_SHORTAGE;
  std::uint64_t copied = 0;
  vm_read_overwrite(task, address, length, copy, &copied);
  // Pages that went away since the probe shorten the view.
  const std::uint64_t kept = copied / page * page;
  if (kept == 0 || (requireFull && kept < length)) {
    munmap(copy, length);
    return KERN_INVALID_ADDRESS;
  }
  if (kept < length) munmap(static_cast<char*>(copy) + kept, length - kept);
  mprotect(copy, kept, PROT_READ);
  *localAddress = reinterpret_cast<std::uint64_t>(copy);
  *mappedSize = kept;
  return KERN_SUCCESS;
}

void vm_unmap_readonly(task_t task, std::uint64_t localAddress, std::uint64_t mappedSize) {
  if (task == task_self() || mappedSize == 0) return;
  munmap(reinterpret_cast<void*>(localAddress), mappedSize);
}

kern_return_t vm_allocate(std::uint64_t size, std::uint64_t* address) {
  if (size == 0) return KERN_INVALID_ARGUMENT;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return KERN_RESOURCE_SHORTAGE;
  *address = reinterpret_cast<std::uint64_t>(memory);
  return KERN_SUCCESS;
}

kern_return_t vm_deallocate(std::uint64_t address, std::uint64_t size) {
  if (size == 0) return KERN_SUCCESS;
  if (munmap(reinterpret_cast<void*>(address), size) != 0) return KERN_INVALID_ARGUMENT;
  return KERN_SUCCESS;
}

kern_return_t vm_map_file(const char* path, std::uint64_t* address, std::uint64_t* size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return KERN_INVALID_ARGUMENT;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    close(fd);
    return KERN_INVALID_ARGUMENT;
  }
  const auto length = static_cast<std::uint64_t>(info.st_size);
  void* memory = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (memory == MAP_FAILED) return KERN_RESOURCE_SHORTAGE;
  *address = reinterpret_cast<std::uint64_t>(memory);
  *size = length;
  return KERN_SUCCESS;
}

void vm_unmap_file(std::uint64_t address, std::uint64_t size) {
  if (size != 0) munmap(reinterpret_cast<void*>(address), size);
}

}  // namespace kernel
