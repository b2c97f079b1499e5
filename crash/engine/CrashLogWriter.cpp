#include "crash/engine/CrashLogWriter.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>

#include "crash/engine/CrashAsyncSignalInfo.h"
#include "crash/engine/CrashAsyncSymbols.h"
#include "crash/engine/CrashFrameCursor.h"
#include "crash/engine/CrashProcessInfo.h"
#include "crash/engine/CrashSysctl.h"
#include "crash/engine/CrashWriterPack.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UUID.h"
#include "platform/kernel/LoaderImages.h"
#include "platform/kernel/ThreadControl.h"

namespace {

constexpr char kFileMagic[] = "crshrpt";
constexpr std::uint8_t kFileVersion = 1;

// More threads than the suspension layer can hold at once are left out of the report.
constexpr std::size_t kMaxThreads = 1024;

// The report's field numbers, by message.
enum : std::uint32_t {
  kReportSystemInfo = 1,
  kReportApplicationInfo = 2,
  kReportThreads = 3,
  kReportBinaryImages = 4,
  kReportException = 5,
  kReportSignal = 6,
  kReportProcessInfo = 7,
  kReportMachineInfo = 8,
  kReportReportInfo = 9,
};

// Enumeration values of the format.
constexpr std::int32_t kOperatingSystemMacOSX = 0;
constexpr std::int32_t kArchitectureX86_64 = 1;
constexpr std::int32_t kTypeEncodingMach = 1;

// A text the format requires: one the process could not learn is written empty, so that the
// report still decodes.
const char* required(const char* text) { return text != nullptr ? text : ""; }

std::size_t packUInt32(crash_async_file* file, std::uint32_t field, std::uint32_t value) {
  return crash_writer_pack(file, field, CRASH_WRITER_TYPE_UINT32, &value);
}
std::size_t packUInt64(crash_async_file* file, std::uint32_t field, std::uint64_t value) {
  return crash_writer_pack(file, field, CRASH_WRITER_TYPE_UINT64, &value);
}
std::size_t packInt64(crash_async_file* file, std::uint32_t field, std::int64_t value) {
  return crash_writer_pack(file, field, CRASH_WRITER_TYPE_INT64, &value);
}
std::size_t packEnum(crash_async_file* file, std::uint32_t field, std::int32_t value) {
  return crash_writer_pack(file, field, CRASH_WRITER_TYPE_ENUM, &value);
}
std::size_t packBool(crash_async_file* file, std::uint32_t field, bool value) {
  return crash_writer_pack(file, field, CRASH_WRITER_TYPE_BOOL, &value);
}
std::size_t packString(crash_async_file* file, std::uint32_t field, const char* value) {
  return crash_writer_pack(file, field, CRASH_WRITER_TYPE_STRING, value);
}

// A message field whose contents `section(file)` writes and `section(nullptr)` only counts,
// the contents being `size` bytes long.
template <typename Section>
std::size_t packMessageOfSize(crash_async_file* file, std::uint32_t field, std::uint32_t size, Section&& section) {
  const std::size_t header = crash_writer_pack(file, field, CRASH_WRITER_TYPE_MESSAGE, &size);
  if (file != nullptr) section(file);
  return header + size;
}

// The same, counting the contents first.
template <typename Section>
std::size_t packMessage(crash_async_file* file, std::uint32_t field, Section&& section) {
  const auto size = static_cast<std::uint32_t>(section(static_cast<crash_async_file*>(nullptr)));
  return packMessageOfSize(file, field, size, section);
}

// The bytes a message field of `size` content bytes takes.
std::size_t messageFieldSize(std::uint32_t field, std::uint32_t size) {
  return crash_writer_pack(nullptr, field, CRASH_WRITER_TYPE_MESSAGE, &size) + size;
}

// What every section of one report shares.
struct SymbolMemo;

struct ReportContext {
  crash_log_writer* writer;
  kernel::task_t task;
  crash_async_image_list* images;
  crash_async_symbol_cache* symbols;
  SymbolMemo* symbol_memo;
  std::int64_t timestamp;
};

std::size_t writeProcessor(crash_async_file* file, std::uint64_t type, std::uint64_t subtype) {
  return packEnum(file, 1, kTypeEncodingMach) + packUInt64(file, 2, type) + packUInt64(file, 3, subtype);
}

std::size_t writeReportInfo(crash_async_file* file, const crash_log_writer* writer) {
  const crash_writer_bytes uuid{sizeof writer->uuid, writer->uuid};
  return packBool(file, 1, writer->user_requested) + crash_writer_pack(file, 2, CRASH_WRITER_TYPE_BYTES, &uuid);
}

// Reports name the operating system as the one their readers know; those readers take symbol
// names as a Mach-O symbol table gives them (see rememberSymbol).
std::size_t writeSystemInfo(crash_async_file* file, const ReportContext& report) {
  const crash_log_writer* writer = report.writer;
  std::size_t size = packEnum(file, 1, kOperatingSystemMacOSX);
  size += packString(file, 2, required(writer->os_version));
  if (writer->os_build != nullptr) size += packString(file, 5, writer->os_build);
  size += packEnum(file, 3, kArchitectureX86_64);
  size += packInt64(file, 4, report.timestamp);
  return size;
}

std::size_t writeMachineInfo(crash_async_file* file, const crash_log_writer* writer) {
  std::size_t size = 0;
  if (writer->model != nullptr) size += packString(file, 1, writer->model);
  size += packMessage(file, 2, [&](crash_async_file* out) {
    return writeProcessor(out, writer->cpu_type, writer->cpu_subtype);
  });
  size += packUInt32(file, 3, writer->processor_count);
  size += packUInt32(file, 4, writer->logical_processor_count);
  return size;
}

std::size_t writeApplicationInfo(crash_async_file* file, const crash_log_writer* writer) {
  std::size_t size = packString(file, 1, required(writer->app_identifier));
  size += packString(file, 2, required(writer->app_version));
  if (writer->app_marketing_version != nullptr) size += packString(file, 3, writer->app_marketing_version);
  return size;
}

std::size_t writeProcessInfo(crash_async_file* file, const crash_log_writer* writer) {
  std::size_t size = 0;
  if (writer->process_name != nullptr) size += packString(file, 1, writer->process_name);
  size += packUInt32(file, 2, writer->process_id);
  if (writer->process_path != nullptr) size += packString(file, 3, writer->process_path);
  if (writer->parent_process_name != nullptr) size += packString(file, 4, writer->parent_process_name);
  size += packUInt32(file, 5, writer->parent_process_id);
  size += packBool(file, 6, writer->native);
  size += packUInt64(file, 7, writer->start_time);
  return size;
}

// The last symbol looked up. Every frame is encoded more than once (counted, then written), and
// the frames of a deep recursion share their address, so one remembered answer spares most of
// the lookups, which are the slowest part of a report.
struct SymbolMemo {
  bool valid;
  std::uint64_t address;  // the address looked up
  bool found;
  std::uint64_t start;
  char name[258];  // as written: see rememberSymbol
};

// The lookup's callback. ELF symbol tables name C functions plainly, Mach-O tables with a leading
// "_", which readers of a report take away again. ELF names get the "_" here, so that "main" and
// "_Z3runv" come out of those readers unchanged instead of as "ain" and "Z3runv".
struct SymbolLookup {
  SymbolMemo* memo;
  bool elf;
};

void rememberSymbol(std::uint64_t address, const char* name, void* context) {
  auto* lookup = static_cast<SymbolLookup*>(context);
  SymbolMemo* memo = lookup->memo;
  std::size_t length = 0;
  if (lookup->elf) memo->name[length++] = '_';
  for (std::size_t i = 0; name[i] != '\0' && length < sizeof memo->name - 1; ++i) memo->name[length++] = name[i];
  memo->name[length] = '\0';
  memo->start = address;
  memo->found = true;
}

const SymbolMemo* symbolAt(const ReportContext& report, std::uint64_t address) {
  SymbolMemo* memo = report.symbol_memo;
  if (memo->valid && memo->address == address) return memo;
  memo->valid = true;
  memo->address = address;
  memo->found = false;
  crash_async_image_list_set_reading(report.images, true);
  if (crash_async_macho* image = crash_async_image_containing_address(report.images, address)) {
    SymbolLookup lookup{memo, image->format == CRASH_ASYNC_IMAGE_ELF};
    if (crash_async_find_symbol(image, report.writer->symbolication_flags, report.symbols, address, rememberSymbol,
                                &lookup) != CRASH_ESUCCESS) {
      memo->found = false;
    }
  }
  crash_async_image_list_set_reading(report.images, false);
  return memo;
}

// One frame at `pc`. A return address (`returnAddress`) is looked up at the byte before it, in
// the call: after a call that never returns it is already the next function's first byte.
std::size_t writeStackFrame(crash_async_file* file, const ReportContext& report, std::uint64_t pc,
                            bool returnAddress) {
  std::size_t size = packUInt64(file, 3, pc);
  if (report.writer->symbolication_flags == 0) return size;
  const SymbolMemo* symbol = symbolAt(report, returnAddress && pc > 0 ? pc - 1 : pc);
  if (!symbol->found) return size;
  return size + packMessage(file, 6, [&](crash_async_file* out) {
    return packString(out, 1, symbol->name) + packUInt64(out, 2, symbol->start);
  });
}

std::size_t writeRegisters(crash_async_file* file, const crash_frame_cursor* cursor) {
  std::size_t size = 0;
  const std::size_t count = crash_frame_cursor_get_regcount(cursor);
  for (std::size_t i = 0; i < count; ++i) {
    const auto regnum = static_cast<crash_regnum_t>(i);
    std::uint64_t value = 0;
    const crash_frame_error_t error = crash_frame_cursor_get_reg(cursor, regnum, &value);
    if (error != CRASH_FRAME_ESUCCESS) {
      if (file != nullptr) {
        CRASH_ASYNC_LOG("Could not fetch register %i value: %s", regnum, crash_frame_strerror(error));
      }
      value = 0;
    }
    const char* name = crash_frame_cursor_get_regname(cursor, regnum);
    size += packMessage(file, 4, [&](crash_async_file* out) {
      return packString(out, 1, name) + packUInt64(out, 2, value);
    });
  }
  return size;
}

// One thread. Its registers are `given` (copied) or read from the suspended thread. Each
// section runs twice, counting and then writing, so diagnostics are written on the second run
// only.
std::size_t writeThread(crash_async_file* file, const ReportContext& report, kernel::thread_t thread,
                        std::uint32_t number, const crash_async_thread_state* given, bool crashed) {
  std::size_t size = packUInt32(file, 1, number) + packBool(file, 3, crashed);

  crash_async_thread_state state;
  if (given != nullptr) {
    crash_async_thread_state_copy(&state, given);
  } else if (crash_async_thread_state_mach_thread_init(&state, thread) != CRASH_ESUCCESS) {
    return size;  // the reason is logged; the thread is listed without frames
  }

  crash_frame_cursor cursor;
  crash_frame_error_t error = crash_frame_cursor_init(&cursor, report.task, &state, report.images);
  if (error != CRASH_FRAME_ESUCCESS) {
    if (file != nullptr) {
      CRASH_ASYNC_LOG("An error occured initializing the frame cursor: %s", crash_frame_strerror(error));
    }
    return size;
  }

  std::size_t frames = 0;
  while (frames < CRASH_LOG_WRITER_MAX_FRAMES && (error = crash_frame_cursor_next(&cursor)) == CRASH_FRAME_ESUCCESS) {
    if (crashed && frames == 0) size += writeRegisters(file, &cursor);
    std::uint64_t pc = 0;
    const crash_frame_error_t pcError = crash_frame_cursor_get_reg(&cursor, CRASH_X86_64_RIP, &pc);
    if (pcError != CRASH_FRAME_ESUCCESS) {
      if (file != nullptr) CRASH_ASYNC_LOG("Could not retrieve frame PC register: %s", crash_frame_strerror(pcError));
      break;
    }
    const bool returnAddress = frames > 0;
    size += packMessage(file, 2, [&](crash_async_file* out) { return writeStackFrame(out, report, pc, returnAddress); });
    ++frames;
  }
  if (error != CRASH_FRAME_ESUCCESS && error != CRASH_FRAME_ENOFRAME && file != nullptr) {
    CRASH_ASYNC_LOG("Terminated stack walking early: %s", crash_frame_strerror(error));
  }
  crash_frame_cursor_free(&cursor);
  return size;
}

std::size_t writeImage(crash_async_file* file, crash_async_macho* image) {
  std::size_t size = packUInt64(file, 2, image->text_size);
  size += packUInt64(file, 1, image->header_addr);
  size += packString(file, 3, required(image->name));
  std::uint8_t uuid[16];
  if (crash_async_macho_uuid(image, uuid) == CRASH_ESUCCESS) {
    const crash_writer_bytes bytes{sizeof uuid, uuid};
    size += crash_writer_pack(file, 4, CRASH_WRITER_TYPE_BYTES, &bytes);
  }
  size += packMessage(file, 5, [&](crash_async_file* out) {
    return writeProcessor(out, crash_async_macho_cpu_type(image), crash_async_macho_cpu_subtype(image));
  });
  return size;
}

std::size_t writeException(crash_async_file* file, const ReportContext& report) {
  const crash_log_writer_exception& exception = report.writer->uncaught_exception;
  std::size_t size = packString(file, 1, required(exception.name));
  size += packString(file, 2, required(exception.reason));
  for (std::size_t i = 0; i < exception.callstack_count && i < CRASH_LOG_WRITER_MAX_FRAMES; ++i) {
    const std::uint64_t pc = exception.callstack[i];
    size += packMessage(file, 3, [&](crash_async_file* out) { return writeStackFrame(out, report, pc, true); });
  }
  return size;
}

std::size_t writeSignal(crash_async_file* file, const crash_log_signal_info* info) {
  const crash_log_bsd_signal_info* bsd = info->bsd_info;
  char number[10];
  const char* name = crash_async_signal_signame(bsd->signo);
  if (name == nullptr) {
    if (file != nullptr) CRASH_ASYNC_LOG("Warning -- unhandled signal number (signo=%d). This is a bug.", bsd->signo);
    snprintf(number, sizeof number, "#%d", bsd->signo);
    name = number;
  }
  char codeNumber[16];
  const char* code = crash_async_signal_sigcode(bsd->signo, bsd->code);
  if (code == nullptr) {
    // A signal that came as an exception carries the code the mapping chose, which need not have
    // a name (a guard violation's SIGKILL has code 0): not a gap in the tables.
    if (file != nullptr && info->mach_info == nullptr) {
      CRASH_ASYNC_LOG("Warning -- unhandled signal sicode (signo=%d, code=%d). This is a bug.", bsd->signo, bsd->code);
    }
    snprintf(codeNumber, sizeof codeNumber, "#%d", bsd->code);
    code = codeNumber;
  }
  std::size_t size = packString(file, 1, name) + packString(file, 2, code) + packUInt64(file, 3, bsd->address);
  if (const crash_log_mach_signal_info* mach = info->mach_info) {
    size += packMessage(file, 4, [&](crash_async_file* out) {
      std::size_t machSize = packUInt64(out, 1, static_cast<std::uint64_t>(mach->type));
      for (std::size_t i = 0; i < mach->code_count; ++i) {
        machSize += packUInt64(out, 2, static_cast<std::uint64_t>(mach->codes[i]));
      }
      return machSize;
    });
  }
  return size;
}

// Room left under the file's limit, keeping `reserved` bytes aside; unlimited files always have
// room.
bool fits(const crash_async_file* file, std::size_t bytes, std::size_t reserved) {
  if (file->limit_bytes == 0) return true;
  if (file->limit_reached || file->total_bytes > file->limit_bytes) return false;
  const std::uint64_t left = file->limit_bytes - file->total_bytes;
  return reserved <= left && bytes <= left - reserved;
}

// The threads, except the calling one without `current_state`. The crashed thread needs room
// for `endSize` bytes after it; every other thread leaves room for the crashed one as well and for
// `imageSize` more.
void writeThreads(crash_async_file* file, const ReportContext& report, const kernel::thread_t* threads,
                  std::size_t count, kernel::thread_t self, kernel::thread_t crashedThread,
                  const crash_async_thread_state* currentState, std::size_t imageSize, std::size_t endSize) {
  auto stateOf = [&](kernel::thread_t thread) { return thread == self ? currentState : nullptr; };
  auto listed = [&](kernel::thread_t thread) { return thread != self || currentState != nullptr; };

  // The crashed thread's room, counted with the largest number it can get.
  std::size_t crashedRoom = 0;
  if (file->limit_bytes != 0) {
    for (std::size_t i = 0; i < count; ++i) {
      if (threads[i] != crashedThread || !listed(threads[i])) continue;
      const auto size = static_cast<std::uint32_t>(writeThread(nullptr, report, threads[i],
                                                               static_cast<std::uint32_t>(count), stateOf(threads[i]),
                                                               true));
      crashedRoom = messageFieldSize(kReportThreads, size);
    }
  }

  std::uint32_t number = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const kernel::thread_t thread = threads[i];
    if (!listed(thread)) continue;
    const bool crashed = thread == crashedThread;
    const crash_async_thread_state* state = stateOf(thread);
    const auto size = static_cast<std::uint32_t>(writeThread(nullptr, report, thread, number, state, crashed));
    if (crashed) crashedRoom = 0;
    if (!fits(file, messageFieldSize(kReportThreads, size), crashed ? endSize : imageSize + endSize + crashedRoom)) {
      CRASH_ASYNC_LOG("Leaving out thread %d: the report would pass its size limit", thread);
      continue;
    }
    packMessageOfSize(file, kReportThreads, size, [&](crash_async_file* out) {
      return writeThread(out, report, thread, number, state, crashed);
    });
    ++number;
  }
}

// The bytes all images take.
std::size_t imagesSize(crash_async_image_list* images) {
  std::size_t total = 0;
  crash_async_image_list_set_reading(images, true);
  for (crash_async_macho* image = crash_async_image_list_next(images, nullptr); image != nullptr;
       image = crash_async_image_list_next(images, image)) {
    total += messageFieldSize(kReportBinaryImages, static_cast<std::uint32_t>(writeImage(nullptr, image)));
  }
  crash_async_image_list_set_reading(images, false);
  return total;
}

void writeImages(crash_async_file* file, crash_async_image_list* images, std::size_t tail) {
  crash_async_image_list_set_reading(images, true);
  for (crash_async_macho* image = crash_async_image_list_next(images, nullptr); image != nullptr;
       image = crash_async_image_list_next(images, image)) {
    const auto size = static_cast<std::uint32_t>(writeImage(nullptr, image));
    if (!fits(file, messageFieldSize(kReportBinaryImages, size), tail)) {
      CRASH_ASYNC_LOG("Leaving out image %s: the report would pass its size limit", required(image->name));
      continue;
    }
    packMessageOfSize(file, kReportBinaryImages, size, [&](crash_async_file* out) { return writeImage(out, image); });
  }
  crash_async_image_list_set_reading(images, false);
}

char* copyString(const char* text) { return text != nullptr ? strdup(text) : nullptr; }
char* copyString(const std::string& text) { return strdup(text.c_str()); }

std::int32_t sysctlInt(const char* name) {
  std::int32_t value = 0;
  if (!crash_sysctl_int(name, &value)) {
    CRASH_ASYNC_LOG("Could not retrive %s: %s", name, crash_async_errno_text(errno));
    return 0;
  }
  return value;
}

char* sysctlString(const char* name) {
  char* value = crash_sysctl_string(name);
  if (value == nullptr) CRASH_ASYNC_LOG("Could not retrive %s: %s", name, crash_async_errno_text(errno));
  return value;
}

}  // namespace

crash_error_t crash_log_writer_init(crash_log_writer* writer, const char* app_identifier, const char* app_version,
                                    const char* app_marketing_version, std::uint32_t symbolication_flags,
                                    bool user_requested) {
  crash_async_memset(writer, 0, sizeof *writer);
  crash_error_t result = CRASH_ESUCCESS;
  writer->symbolication_flags = symbolication_flags;
  writer->user_requested = user_requested;

  const foundation::UUID uuid;
  crash_async_memcpy(writer->uuid, uuid.bytes().data(), sizeof writer->uuid);

  // The system's own version numbers (0.0.0 when the system names none).
  const foundation::OperatingSystemVersion version = foundation::ProcessInfo::processInfo().operatingSystemVersion();
  writer->os_version = copyString(std::to_string(version.majorVersion) + "." + std::to_string(version.minorVersion) +
                                  "." + std::to_string(version.patchVersion));
  writer->os_build = sysctlString("kern.osversion");

  writer->model = sysctlString("hw.model");
  writer->cpu_type = static_cast<std::uint32_t>(sysctlInt("hw.cputype"));
  writer->cpu_subtype = static_cast<std::uint32_t>(sysctlInt("hw.cpusubtype"));
  writer->processor_count = static_cast<std::uint32_t>(sysctlInt("hw.physicalcpu_max"));
  writer->logical_processor_count = static_cast<std::uint32_t>(sysctlInt("hw.logicalcpu_max"));

  // The report's application fields are required: a caller without them still gets a record
  // that writes a readable report.
  writer->app_identifier = copyString(required(app_identifier));
  writer->app_version = copyString(required(app_version));
  writer->app_marketing_version = copyString(app_marketing_version);

  if (const auto process = CrashProcessInfo::currentProcessInfo()) {
    if (process->processName()) writer->process_name = copyString(*process->processName());
    writer->process_id = static_cast<std::uint32_t>(process->processID());
    writer->start_time = static_cast<std::uint64_t>(process->startTime().tv_sec);
    writer->parent_process_id = static_cast<std::uint32_t>(process->parentProcessID());
    const auto parent = CrashProcessInfo::initWithProcessID(process->parentProcessID());
    if (parent != nullptr && parent->processName()) {
      writer->parent_process_name = copyString(*parent->processName());
    } else {
      CRASH_ASYNC_LOG("Could not retreive parent process name: %s", crash_async_errno_text(errno));
    }
  } else {
    CRASH_ASYNC_LOG("Could not retreive process info for target");
    result = CRASH_EINVAL;
  }

  const std::string path = kernel::executable_path();
  if (!path.empty()) writer->process_path = copyString(path);

  std::int32_t native = 1;
  writer->native = !(crash_sysctl_int("sysctl.proc_native", &native) && native == 0);
  return result;
}

void crash_log_writer_set_exception(crash_log_writer* writer, const char* name, const char* reason,
                                    const std::uint64_t* callstack, std::size_t callstack_count) {
  CRASH_ASYNC_ASSERT(!writer->uncaught_exception.has_exception, "An exception is already recorded");
  crash_log_writer_exception& exception = writer->uncaught_exception;
  exception.name = copyString(required(name));
  exception.reason = copyString(required(reason));
  exception.callstack_count = 0;
  if (callstack_count > 0) {
    exception.callstack = static_cast<std::uint64_t*>(malloc(callstack_count * sizeof *callstack));
    if (exception.callstack != nullptr) {
      crash_async_memcpy(exception.callstack, callstack, callstack_count * sizeof *callstack);
      exception.callstack_count = callstack_count;
    }
  }
  exception.has_exception = true;
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

crash_error_t crash_log_writer_write(crash_log_writer* writer, kernel::thread_t crashed_thread,
                                     crash_async_image_list* image_list, crash_async_file* file,
                                     const crash_log_signal_info* signal_info,
                                     const crash_async_thread_state* current_state) {
  const kernel::thread_t self = crash_mach_thread_self();
  CRASH_ASYNC_ASSERT(crashed_thread != self || current_state != nullptr,
                     "The crashed thread is the calling thread, and no state was given for it");

  kernel::thread_t threads[kMaxThreads];
  bool suspended[kMaxThreads];
  std::size_t count = 0;
  const kernel::task_t task = kernel::task_self();
  if (kernel::task_threads(task, threads, kMaxThreads, &count) != kernel::KERN_SUCCESS) {
    CRASH_ASYNC_LOG("Fetching thread list failed");
    count = 0;
  }
  if (count > kMaxThreads) count = kMaxThreads;
  // Only what was suspended here is resumed: another suspender's count must not go down.
  for (std::size_t i = 0; i < count; ++i) {
    suspended[i] = threads[i] != self && kernel::thread_suspend(threads[i]) == kernel::KERN_SUCCESS;
  }

  crash_async_symbol_cache symbols;
  crash_async_symbol_cache_init(&symbols);

  std::int64_t timestamp = time(nullptr);
  if (timestamp == -1) {
    CRASH_ASYNC_LOG("Failed to fetch timestamp: %s", crash_async_errno_text(errno));
    timestamp = 0;
  }
  SymbolMemo memo;
  memo.valid = false;
  const ReportContext report{writer, task, image_list, &symbols, &memo, timestamp};

  crash_async_file_write(file, kFileMagic, sizeof kFileMagic - 1);
  crash_async_file_write(file, &kFileVersion, 1);

  packMessage(file, kReportReportInfo, [&](crash_async_file* out) { return writeReportInfo(out, writer); });
  packMessage(file, kReportSystemInfo, [&](crash_async_file* out) { return writeSystemInfo(out, report); });
  packMessage(file, kReportMachineInfo, [&](crash_async_file* out) { return writeMachineInfo(out, writer); });
  packMessage(file, kReportApplicationInfo, [&](crash_async_file* out) { return writeApplicationInfo(out, writer); });
  packMessage(file, kReportProcessInfo, [&](crash_async_file* out) { return writeProcessInfo(out, writer); });

  // Under a size limit, what matters most is kept room for: the signal and the exception, then
  // the crashed thread, then the images (which place the frames); the other threads come last.
  std::size_t endSize = 0;
  std::size_t imageSize = 0;
  if (file->limit_bytes != 0) {
    if (writer->uncaught_exception.has_exception) {
      endSize += messageFieldSize(kReportException, static_cast<std::uint32_t>(writeException(nullptr, report)));
    }
    endSize += messageFieldSize(kReportSignal, static_cast<std::uint32_t>(writeSignal(nullptr, signal_info)));
    imageSize = imagesSize(image_list);
  }

  writeThreads(file, report, threads, count, self, crashed_thread, current_state, imageSize, endSize);
  writeImages(file, image_list, endSize);
  if (writer->uncaught_exception.has_exception) {
    packMessage(file, kReportException, [&](crash_async_file* out) { return writeException(out, report); });
  }
  packMessage(file, kReportSignal, [&](crash_async_file* out) { return writeSignal(out, signal_info); });

  crash_async_symbol_cache_free(&symbols);
  for (std::size_t i = 0; i < count; ++i) {
    if (suspended[i]) kernel::thread_resume(threads[i]);
  }
  return CRASH_ESUCCESS;
}

crash_error_t crash_log_writer_close(crash_log_writer*) { return CRASH_ESUCCESS; }

void crash_log_writer_free(crash_log_writer* writer) {
  for (char* text : {writer->os_version, writer->os_build, writer->model, writer->app_identifier, writer->app_version,
                     writer->app_marketing_version, writer->process_name, writer->process_path,
                     writer->parent_process_name}) {
    free(text);
  }
  if (writer->uncaught_exception.has_exception) {
    free(writer->uncaught_exception.name);
    free(writer->uncaught_exception.reason);
    free(writer->uncaught_exception.callstack);
  }
  crash_async_memset(writer, 0, sizeof *writer);
}
