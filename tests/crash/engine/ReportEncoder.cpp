#include "tests/crash/engine/ReportEncoder.h"

#include <cstddef>

namespace test {

namespace {

// One message being written: packs fields and counts their bytes. message() applies the nested
// message rule: the body runs once without output for its size, then again with it.
class Encoder {
 public:
  explicit Encoder(const crash_writer_output* output) : output_(output) {}
  std::size_t size() const { return size_; }

  template <typename T>
  void scalar(std::uint32_t field, crash_writer_type type, T value) {
    size_ += crash_writer_pack_to(output_, field, type, &value);
  }
  void string(std::uint32_t field, const std::optional<std::string>& text) {
    if (text) size_ += crash_writer_pack_to(output_, field, CRASH_WRITER_TYPE_STRING, text->c_str());
  }
  void bytes(std::uint32_t field, const std::optional<std::vector<std::uint8_t>>& data) {
    if (!data) return;
    const crash_writer_bytes value{data->size(), data->data()};
    size_ += crash_writer_pack_to(output_, field, CRASH_WRITER_TYPE_BYTES, &value);
  }
  template <typename Body>
  void message(std::uint32_t field, Body body) {
    Encoder dry(nullptr);
    body(dry);
    const auto length = static_cast<std::uint32_t>(dry.size());
    size_ += crash_writer_pack_to(output_, field, CRASH_WRITER_TYPE_MESSAGE, &length);
    Encoder wet(output_);
    body(wet);
    size_ += wet.size();
  }

 private:
  const crash_writer_output* output_;
  std::size_t size_ = 0;
};

void processor(Encoder& e, const ProcessorRecord& p) {
  e.scalar(1, CRASH_WRITER_TYPE_ENUM, p.encoding);
  e.scalar(2, CRASH_WRITER_TYPE_UINT64, p.type);
  e.scalar(3, CRASH_WRITER_TYPE_UINT64, p.subtype);
}

void frame(Encoder& e, const FrameRecord& f) {
  e.scalar(3, CRASH_WRITER_TYPE_UINT64, f.pc);
  if (!f.symbol) return;
  e.message(6, [&](Encoder& s) {
    s.string(1, f.symbol->name);
    s.scalar(2, CRASH_WRITER_TYPE_UINT64, f.symbol->start);
    if (f.symbol->end) s.scalar(3, CRASH_WRITER_TYPE_UINT64, *f.symbol->end);
  });
}

void report(Encoder& e, const ReportRecord& r) {
  if (r.reportInfo) {
    e.message(9, [&](Encoder& m) {
      m.scalar(1, CRASH_WRITER_TYPE_BOOL, r.reportInfo->userRequested);
      m.bytes(2, r.reportInfo->uuid);
    });
  }
  if (r.systemInfo) {
    e.message(1, [&](Encoder& m) {
      const auto& s = *r.systemInfo;
      if (s.operatingSystem) m.scalar(1, CRASH_WRITER_TYPE_ENUM, *s.operatingSystem);
      m.string(2, s.osVersion);
      m.string(5, s.osBuild);
      m.scalar(3, CRASH_WRITER_TYPE_ENUM, s.architecture);
      m.scalar(4, CRASH_WRITER_TYPE_INT64, s.timestamp);
    });
  }
  if (r.machineInfo) {
    e.message(8, [&](Encoder& m) {
      const auto& s = *r.machineInfo;
      m.string(1, s.model);
      m.message(2, [&](Encoder& p) { processor(p, s.processor); });
      m.scalar(3, CRASH_WRITER_TYPE_UINT32, s.processorCount);
      m.scalar(4, CRASH_WRITER_TYPE_UINT32, s.logicalProcessorCount);
    });
  }
  if (r.applicationInfo) {
    e.message(2, [&](Encoder& m) {
      m.string(1, r.applicationInfo->identifier);
      m.string(2, r.applicationInfo->version);
      m.string(3, r.applicationInfo->marketingVersion);
    });
  }
  if (r.processInfo) {
    e.message(7, [&](Encoder& m) {
      const auto& p = *r.processInfo;
      m.string(1, p.name);
      m.scalar(2, CRASH_WRITER_TYPE_UINT32, p.pid);
      m.string(3, p.path);
      m.string(4, p.parentName);
      m.scalar(5, CRASH_WRITER_TYPE_UINT32, p.parentPid);
      m.scalar(6, CRASH_WRITER_TYPE_BOOL, p.native);
      if (p.startTime) m.scalar(7, CRASH_WRITER_TYPE_UINT64, *p.startTime);
    });
  }
  for (const auto& thread : r.threads) {
    e.message(3, [&](Encoder& m) {
      m.scalar(1, CRASH_WRITER_TYPE_UINT32, thread.number);
      m.scalar(3, CRASH_WRITER_TYPE_BOOL, thread.crashed);
      for (const auto& reg : thread.registers) {
        m.message(4, [&](Encoder& v) {
          v.string(1, reg.name);
          v.scalar(2, CRASH_WRITER_TYPE_UINT64, reg.value);
        });
      }
      for (const auto& f : thread.frames) m.message(2, [&](Encoder& s) { frame(s, f); });
    });
  }
  for (const auto& image : r.images) {
    e.message(4, [&](Encoder& m) {
      m.scalar(2, CRASH_WRITER_TYPE_UINT64, image.size);
      m.scalar(1, CRASH_WRITER_TYPE_UINT64, image.base);
      m.string(3, image.name);
      m.bytes(4, image.uuid);
      if (image.codeType) m.message(5, [&](Encoder& p) { processor(p, *image.codeType); });
    });
  }
  if (r.exception) {
    e.message(5, [&](Encoder& m) {
      m.string(1, r.exception->name);
      m.string(2, r.exception->reason);
      for (const auto& f : r.exception->frames) m.message(3, [&](Encoder& s) { frame(s, f); });
    });
  }
  if (r.signal) {
    e.message(6, [&](Encoder& m) {
      m.string(1, r.signal->name);
      m.string(2, r.signal->code);
      m.scalar(3, CRASH_WRITER_TYPE_UINT64, r.signal->address);
      if (r.signal->machException) {
        m.message(4, [&](Encoder& x) {
          x.scalar(1, CRASH_WRITER_TYPE_UINT64, r.signal->machException->type);
          for (const auto code : r.signal->machException->codes) x.scalar(2, CRASH_WRITER_TYPE_UINT64, code);
        });
      }
    });
  }
}

}  // namespace

crash_writer_output vectorOutput(std::vector<std::uint8_t>& bytes) {
  return crash_writer_output{&bytes, [](void* context, const void* data, std::size_t length) {
                               auto* out = static_cast<std::vector<std::uint8_t>*>(context);
                               const auto* p = static_cast<const std::uint8_t*>(data);
                               out->insert(out->end(), p, p + length);
                               return true;
                             }};
}

std::vector<std::uint8_t> encodeMessage(const ReportRecord& record) {
  std::vector<std::uint8_t> bytes;
  const crash_writer_output output = vectorOutput(bytes);
  Encoder encoder(&output);
  report(encoder, record);
  return bytes;
}

std::vector<std::uint8_t> encodeReportFile(const ReportRecord& record) {
  std::vector<std::uint8_t> bytes{'c', 'r', 's', 'h', 'r', 'p', 't', 1};
  const auto message = encodeMessage(record);
  bytes.insert(bytes.end(), message.begin(), message.end());
  return bytes;
}

ReportRecord sampleReport() {
  constexpr std::uint64_t kX86_64 = 0x01000007;
  ReportRecord r;
  r.reportInfo = ReportInfoRecord{false, std::vector<std::uint8_t>{0x6B, 0x1F, 0x2E, 0x90, 0x3C, 0x4D, 0x4E, 0x11,
                                                                   0x9A, 0x0B, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17}};
  r.systemInfo = SystemInfoRecord{0, "10.15.7", "19H15", 1, 1700000000};
  r.machineInfo = MachineInfoRecord{"MacBookPro16,1", {1, kX86_64, 3}, 8, 16};
  r.applicationInfo = ApplicationInfoRecord{"org.example.app", "42", "2.0.1"};
  r.processInfo = ProcessInfoRecord{"Example", 4321, "/Applications/Example.app/Contents/MacOS/Example",
                                    "launchd", 1, true, 1699999990};
  r.signal = SignalRecord{"SIGSEGV", "SEGV_MAPERR", 0x18, MachExceptionRecord{1, {1, 0x18}}};
  r.exception = ExceptionRecord{
      "NSRangeException",
      "index 3 beyond bounds [0 .. 2]",
      {{0x7fff20300a10, std::nullopt}, {0x10000120c, SymbolRecord{"_main", 0x100001200, std::nullopt}}}};
  r.threads = {
      ThreadRecord{0, {{0x7fff203c0b4e, std::nullopt}, {0x100001010, std::nullopt}, {0x5000, std::nullopt}}, false, {}},
      ThreadRecord{1,
                   {{0x10000120c, SymbolRecord{"_main", 0x100001200, 0x100001300}}, {0x7fff20300a10, std::nullopt}},
                   true,
                   {{"rax", 0}, {"rbx", 1}, {"rcx", 0x7ffee3b4a7c8}, {"rdx", 3}, {"rdi", 4},
                    {"rsi", 5}, {"rbp", 0x7ffee3b4a7b0}, {"rsp", 0x7ffee3b4a790}, {"rip", 0x10000120c}}},
  };
  r.images = {
      ImageRecord{0x100000000, 0x2000, "/Applications/Example.app/Contents/MacOS/Example",
                  std::vector<std::uint8_t>{0x00, 0xAB, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65,
                                            0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED},
                  ProcessorRecord{1, kX86_64, 3}},
      ImageRecord{0x7fff20300000, 0x100000, "/usr/lib/system/libsystem_kernel.dylib", std::nullopt,
                  ProcessorRecord{1, kX86_64, 3}},
      ImageRecord{0x7fff203c0000, 0, "/usr/lib/libobjc.A.dylib", std::nullopt, std::nullopt},
  };
  return r;
}

}  // namespace test
