// The error log model: the JSON the ingestion receives, validity, equality and the archive round
// trip of every class, attachments and the error report.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/UUID.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLHandledErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLWrapperException.h"
#include "telemetry/crashes/TLCrashesArchivableClasses.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"
#include "telemetry/crashes/TLErrorReport.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

std::shared_ptr<TLStackFrame> frame(const std::string& address, const std::string& code = "0x1000 + 16") {
  auto f = std::make_shared<TLStackFrame>();
  f->address = address;
  f->code = code;
  return f;
}

std::shared_ptr<TLException> exception(const std::string& type) {
  auto e = std::make_shared<TLException>();
  e->type = type;
  e->message = "index 3 beyond bounds";
  e->frames = std::vector{frame("0x0000000000401000")};
  return e;
}

// A crash log with every field set and every nesting used.
std::shared_ptr<TLAppleErrorLog> fullAppleErrorLog() {
  auto log = std::make_shared<TLAppleErrorLog>();
  log->setTimestamp(Date::fromTimeIntervalSince1970(1700000000.999));
  log->setSid("6B1F2E90-3C4D-4E11-9A0B-C2D3E4F50617");
  log->setUserId("c:alice");
  log->setDevice(test::minimalDevice());
  log->setProperties(Dictionary{{"build", "nightly"}});
  log->errorId = "11111111-2222-3333-4444-555555555555";
  log->processId = 4321;
  log->processName = "quillmere";
  log->parentProcessId = 1;
  log->parentProcessName = "systemd";
  log->errorThreadId = 1;
  log->errorThreadName = "main";
  log->fatal = true;
  log->appLaunchTimestamp = Date::fromTimeIntervalSince1970(1699999990);
  log->architecture = "x86_64";
  log->primaryArchitectureId = 0x1000007;
  log->architectureVariantId = 3;
  log->applicationPath = "/opt/Quillmere/quillmere";
  log->osExceptionType = "SIGSEGV";
  log->osExceptionCode = "SEGV_MAPERR";
  log->osExceptionAddress = "0x18";
  log->exceptionType = "std::out_of_range";
  log->exceptionReason = "index 3 beyond bounds";
  log->selectorRegisterValue = "count";

  auto inner = exception("std::logic_error");
  inner->wrapperSdkName = "wrapper";
  auto outer = exception("std::out_of_range");
  outer->stackTrace = "at main";
  outer->innerExceptions = std::vector{inner};
  auto thread = std::make_shared<TLThread>();
  thread->threadId = 1;
  thread->name = "main";
  thread->frames->push_back(frame("0x0000000000401000"));
  thread->frames->back()->className = "Main";
  thread->frames->back()->methodName = "run";
  thread->frames->back()->lineNumber = 12;
  thread->frames->back()->fileName = "main.cpp";
  thread->exception = outer;
  log->threads = std::vector{thread, std::make_shared<TLThread>()};

  auto binary = std::make_shared<TLBinary>();
  binary->binaryId = "00ab102132435465768798a9bacbdced";
  binary->startAddress = "0x0000000000400000";
  binary->endAddress = "0x0000000000401fff";
  binary->name = "quillmere";
  binary->path = "/opt/Quillmere/quillmere";
  binary->architecture = "x86_64";
  binary->primaryArchitectureId = 0x1000007;
  binary->architectureVariantId = 3;
  log->binaries = std::vector{binary};
  log->registers = Dictionary{{"rip", "0x0000000000401000"}, {"rsp", "0x00007ffee3b4a790"}};
  log->exception = exception("Wrapped");
  return log;
}

std::vector<std::string> keysOf(const Value& dictionary) { return dictionary.dictionaryValue().keys(); }

// ---- JSON -----------------------------------------------------------------------------------------

TEST(TLErrorLogModel, MinimalAppleErrorLogWritesOnlyWhatIsSetAndFatal) {
  TLAppleErrorLog log;
  log.setTimestamp(Date::fromTimeIntervalSince1970(1000.5));
  log.errorId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  log.processId = 7;
  log.processName = "quillmere";

  const Value json = test::parseJson(*log.serializeLogWithPrettyPrinting(false));
  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "timestamp", "id", "processId", "processName", "fatal"}));
  EXPECT_EQ(json["type"], Value("appleError"));
  EXPECT_EQ(json["timestamp"], Value("1970-01-01T00:16:40.500Z"));
  EXPECT_EQ(json["processId"], Value(7));
  EXPECT_EQ(json["fatal"], Value(false));
  EXPECT_TRUE(json["fatal"].isBool());
}

TEST(TLErrorLogModel, FullAppleErrorLogKeepsTheKeyOrderOfEachRecord) {
  const auto log = fullAppleErrorLog();
  const Value json = test::parseJson(*log->serializeLogWithPrettyPrinting(false));

  EXPECT_EQ(keysOf(json),
            (std::vector<std::string>{"type", "timestamp", "sid", "userId", "device", "properties", "id", "processId",
                                      "processName", "parentProcessId", "parentProcessName", "errorThreadId",
                                      "errorThreadName", "fatal", "appLaunchTimestamp", "architecture",
                                      "primaryArchitectureId", "architectureVariantId", "applicationPath",
                                      "osExceptionType", "osExceptionCode", "osExceptionAddress", "exceptionType",
                                      "exceptionReason", "selectorRegisterValue", "threads", "binaries", "registers",
                                      "exception"}));
  EXPECT_EQ(json["appLaunchTimestamp"], Value("2023-11-14T22:13:10.000Z"));
  EXPECT_EQ(json["registers"]["rsp"], Value("0x00007ffee3b4a790"));

  const Value& thread = json["threads"][std::size_t{0}];
  EXPECT_EQ(keysOf(thread), (std::vector<std::string>{"id", "name", "frames", "exception"}));
  EXPECT_EQ(keysOf(thread["frames"][std::size_t{0}]),
            (std::vector<std::string>{"address", "code", "className", "methodName", "lineNumber", "fileName"}));
  EXPECT_EQ(thread["frames"][std::size_t{0}]["lineNumber"], Value(12));
  const Value& outer = thread["exception"];
  EXPECT_EQ(keysOf(outer), (std::vector<std::string>{"type", "message", "stackTrace", "frames", "innerExceptions"}));
  EXPECT_EQ(keysOf(outer["innerExceptions"][std::size_t{0}]),
            (std::vector<std::string>{"type", "message", "wrapperSdkName", "frames"}));
  // A new thread's frame list is present and empty: it is written as [].
  const Value& emptyThread = json["threads"][std::size_t{1}];
  EXPECT_TRUE(emptyThread["frames"].isArray());
  EXPECT_TRUE(emptyThread["frames"].arrayValue().empty());
  EXPECT_EQ(keysOf(json["binaries"][std::size_t{0}]),
            (std::vector<std::string>{"id", "startAddress", "endAddress", "name", "path", "architecture",
                                      "primaryArchitectureId", "architectureVariantId"}));
}

TEST(TLErrorLogModel, HandledErrorAndWrapperExceptionJson) {
  TLHandledErrorLog handled;
  handled.errorId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  handled.exception = exception("std::runtime_error");
  const Value json = test::parseJson(*handled.serializeLogWithPrettyPrinting(false));
  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "id", "exception"}));
  EXPECT_EQ(json["type"], Value("handledError"));
  EXPECT_EQ(json["exception"]["type"], Value("std::runtime_error"));

  TLWrapperException wrapper;
  wrapper.modelException = exception("System.NullReferenceException");
  wrapper.processId = 99;
  wrapper.exceptionData = foundation::Data{1, 2, 3};
  const Dictionary dictionary = *wrapper.serializeToDictionary();
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"modelException", "processId", "exceptionData"}));
  EXPECT_EQ(dictionary.get("exceptionData"), Value(foundation::Data{1, 2, 3}));
}

// ---- Attachments ------------------------------------------------------------------------------------

TEST(TLErrorLogModel, TextAttachmentIsPlainTextInBase64OnOneLine) {
  // Long enough that an encoder breaking lines at 64 or 76 characters would show it.
  const std::string text(100, 'h');
  const auto attachment = TLErrorAttachmentLog::attachmentWithText(text + "\u00e9", "notes.txt");
  attachment->errorId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  const Value json = test::parseJson(*attachment->serializeLogWithPrettyPrinting(false));

  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "id", "errorId", "contentType", "fileName", "data"}));
  EXPECT_EQ(json["type"], Value("errorAttachment"));
  EXPECT_EQ(json["contentType"], Value("text/plain"));
  EXPECT_EQ(json["fileName"], Value("notes.txt"));
  const std::string data = json["data"].stringValue();
  EXPECT_EQ(data.find('\n'), std::string::npos);
  EXPECT_EQ(data.find('\r'), std::string::npos);
  EXPECT_EQ(data.substr(data.size() - 4), "aMOp");  // "hh\xC3\xA9" at the end of 102 bytes
  EXPECT_EQ(data.size(), 136u);

  // The id is upper-case UUID text, and every attachment gets its own.
  const auto again = TLErrorAttachmentLog::attachmentWithText(text + "\u00e9", "notes.txt");
  again->errorId = attachment->errorId;
  ASSERT_TRUE(foundation::UUID::fromString(*attachment->attachmentId));
  EXPECT_EQ(*attachment->attachmentId, foundation::UUID::fromString(*attachment->attachmentId)->UUIDString());
  EXPECT_FALSE(attachment->isEqual(*again));
  again->attachmentId = attachment->attachmentId;
  EXPECT_TRUE(attachment->isEqual(*again));
}

TEST(TLErrorLogModel, BinaryAttachmentKeepsItsBytesAndType) {
  const auto attachment = TLErrorAttachmentLog::attachmentWithBinary(foundation::Data{0xFF, 0x00, 0x10}, "dump.bin",
                                                                     "application/octet-stream");
  EXPECT_EQ(attachment->contentType, "application/octet-stream");
  EXPECT_EQ(attachment->filename, "dump.bin");
  EXPECT_EQ(attachment->data, (foundation::Data{0xFF, 0x00, 0x10}));
  EXPECT_EQ(attachment->serializeToDictionary()->get("data"), Value("/wAQ"));
}

// ---- Validity ---------------------------------------------------------------------------------------

TEST(TLErrorLogModel, Validity) {
  struct Case {
    const char* name;
    std::function<bool()> isValid;
    bool expected;
  };
  const auto withFull = [](std::function<void(TLAppleErrorLog&)> change) {
    return [change] {
      auto log = fullAppleErrorLog();
      change(*log);
      return log->isValid();
    };
  };
  const auto thread = [](std::optional<std::int64_t> id, std::size_t frames) {
    return [id, frames] {
      TLThread t;
      t.threadId = id;
      for (std::size_t i = 0; i < frames; ++i) t.frames->push_back(frame("0x1"));
      return t.isValid();
    };
  };
  const auto attachment = [](std::function<void(TLErrorAttachmentLog&)> change) {
    return [change] {
      auto a = TLErrorAttachmentLog::attachmentWithText("text", "a.txt");
      a->setTimestamp(Date::now());
      a->setDevice(test::minimalDevice());
      a->errorId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
      change(*a);
      return a->isValid();
    };
  };
  const std::vector<Case> cases = {
      {"full crash log", withFull([](TLAppleErrorLog&) {}), true},
      {"crash log without threads, binaries or exception",
       withFull([](TLAppleErrorLog& l) {
         l.threads.reset();
         l.binaries.reset();
         l.exception.reset();
       }),
       true},
      {"without error id", withFull([](TLAppleErrorLog& l) { l.errorId.reset(); }), false},
      {"without process id", withFull([](TLAppleErrorLog& l) { l.processId.reset(); }), false},
      {"without process name", withFull([](TLAppleErrorLog& l) { l.processName.reset(); }), false},
      {"without CPU type", withFull([](TLAppleErrorLog& l) { l.primaryArchitectureId.reset(); }), false},
      {"without application path", withFull([](TLAppleErrorLog& l) { l.applicationPath.reset(); }), false},
      {"without signal", withFull([](TLAppleErrorLog& l) { l.osExceptionType.reset(); }), false},
      {"without signal code", withFull([](TLAppleErrorLog& l) { l.osExceptionCode.reset(); }), false},
      {"without fault address", withFull([](TLAppleErrorLog& l) { l.osExceptionAddress.reset(); }), false},
      {"without timestamp", withFull([](TLAppleErrorLog& l) { l.setTimestamp(std::nullopt); }), false},
      {"with an invalid device", withFull([](TLAppleErrorLog& l) { l.setDevice(std::make_shared<TLDevice>()); }), false},
      {"thread with id and a frame", thread(1, 1), true},
      {"thread without frames", thread(1, 0), false},
      {"thread without id", thread(std::nullopt, 1), false},
      {"exception with type and frame", [] { return exception("E")->isValid(); }, true},
      {"exception with empty frames",
       [] {
         auto e = exception("E");
         e->frames->clear();
         return e->isValid();
       },
       false},
      {"exception without type",
       [] {
         auto e = exception("E");
         e->type.reset();
         return e->isValid();
       },
       false},
      {"binary", [] { return (*fullAppleErrorLog()->binaries)[0]->isValid(); }, true},
      {"binary without path",
       [] {
         auto b = (*fullAppleErrorLog()->binaries)[0];
         b->path.reset();
         return b->isValid();
       },
       false},
      {"handled error without exception",
       [] {
         TLHandledErrorLog h;
         h.setTimestamp(Date::now());
         h.setDevice(test::minimalDevice());
         h.errorId = "id";
         return h.isValid();
       },
       false},
      {"attachment", attachment([](TLErrorAttachmentLog&) {}), true},
      {"attachment without error id", attachment([](TLErrorAttachmentLog& a) { a.errorId.reset(); }), false},
      {"attachment without data", attachment([](TLErrorAttachmentLog& a) { a.data.reset(); }), false},
      {"attachment without content type", attachment([](TLErrorAttachmentLog& a) { a.contentType.reset(); }), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.isValid(), c.expected) << c.name;
}

// ---- Equality and archives --------------------------------------------------------------------------

TEST(TLErrorLogModel, EqualityComparesEveryFieldAndNestedRecord) {
  const auto log = fullAppleErrorLog();
  EXPECT_TRUE(log->isEqual(*fullAppleErrorLog()));
  const std::vector<std::pair<const char*, std::function<void(TLAppleErrorLog&)>>> changes = {
      {"fatal", [](TLAppleErrorLog& l) { l.fatal = false; }},
      {"frame code", [](TLAppleErrorLog& l) { (*l.threads)[0]->frames->at(0)->code = "0x2000 + 1"; }},
      {"inner exception", [](TLAppleErrorLog& l) { (*(*l.threads)[0]->exception->innerExceptions)[0]->type = "X"; }},
      {"register value", [](TLAppleErrorLog& l) { l.registers->set("rip", "0x0"); }},
      {"one binary fewer", [](TLAppleErrorLog& l) { l.binaries->clear(); }},
      {"properties", [](TLAppleErrorLog& l) { l.setProperties(std::nullopt); }},
      {"architecture", [](TLAppleErrorLog& l) { l.architecture.reset(); }},
  };
  for (const auto& [name, change] : changes) {
    auto other = fullAppleErrorLog();
    change(*other);
    EXPECT_FALSE(log->isEqual(*other)) << name;
  }
  // A log of the base class never equals a crash log.
  TLAbstractErrorLog base;
  EXPECT_FALSE(TLAppleErrorLog().isEqual(base));
}

TEST(TLErrorLogModel, EveryClassSurvivesTheArchive) {
  TLRegisterCrashesArchivableClasses();
  const auto log = fullAppleErrorLog();
  // The log store reads logs back as any log; the class comes back with them.
  const auto decoded = test::archiveRoundTrip(log, "TLAbstractLog");
  ASSERT_NE(decoded, nullptr);
  EXPECT_TRUE(decoded->isEqual(*log));
  EXPECT_TRUE(decoded->fatal);
  EXPECT_EQ((*decoded->threads)[0]->frames->at(0)->lineNumber, 12);

  auto handled = std::make_shared<TLHandledErrorLog>();
  handled->errorId = "id";
  handled->exception = exception("std::runtime_error");
  handled->setProperties(Dictionary{{"a", "b"}});
  const auto handledBack = test::archiveRoundTrip(handled, "TLHandledErrorLog");
  ASSERT_NE(handledBack, nullptr);
  EXPECT_TRUE(handledBack->isEqual(*handled));

  auto attachment = TLErrorAttachmentLog::attachmentWithBinary(foundation::Data{0, 1, 2, 0xFF}, "a.bin", "x/y");
  attachment->errorId = "id";
  const auto attachmentBack = test::archiveRoundTrip(attachment, "TLErrorAttachmentLog");
  ASSERT_NE(attachmentBack, nullptr);
  EXPECT_TRUE(attachmentBack->isEqual(*attachment));

  auto wrapper = std::make_shared<TLWrapperException>();
  wrapper->modelException = exception("System.Exception");
  wrapper->exceptionData = foundation::Data{9, 8, 7};
  wrapper->processId = 1234;
  const auto wrapperBack = test::archiveRoundTrip(wrapper, "TLWrapperException");
  ASSERT_NE(wrapperBack, nullptr);
  EXPECT_TRUE(wrapperBack->isEqual(*wrapper));

  auto binary = (*log->binaries)[0];
  const auto binaryBack = test::archiveRoundTrip(binary, "TLBinary");
  ASSERT_NE(binaryBack, nullptr);
  EXPECT_TRUE(binaryBack->isEqual(*binary));
}

TEST(TLErrorLogModel, ThreadArchivedWithoutFramesComesBackWithoutThem) {
  TLRegisterCrashesArchivableClasses();
  auto thread = std::make_shared<TLThread>();
  thread->threadId = 3;
  thread->frames.reset();
  const auto back = test::archiveRoundTrip(thread, "TLThread");
  ASSERT_NE(back, nullptr);
  EXPECT_FALSE(back->frames.has_value());
  EXPECT_EQ(back->threadId, 3);
  // A new thread has an empty list, which differs from none.
  EXPECT_FALSE(back->isEqual(TLThread()));
}

TEST(TLErrorLogModel, ErrorReportKnowsAKill) {
  const auto report = [](std::optional<std::string> signal) {
    return TLErrorReport("id", "", std::move(signal), std::nullopt, std::nullopt, std::nullopt, std::nullopt, nullptr, 1);
  };
  EXPECT_TRUE(report("SIGKILL").isAppKill());
  EXPECT_TRUE(report("sigkill").isAppKill());
  EXPECT_FALSE(report("SIGSEGV").isAppKill());
  EXPECT_FALSE(report(std::nullopt).isAppKill());
  TLErrorReport changed = report(std::nullopt);
  changed.setSignal("SigKill");
  EXPECT_TRUE(changed.isAppKill());
}

}  // namespace
