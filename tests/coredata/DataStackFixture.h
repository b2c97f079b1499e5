#pragma once
// The model, stack fixture and helpers shared by the layer's tests: a "Record" entity with
// integer, double, string, Boolean and date attributes (mandatory and optional) and a to-many
// "notes" relationship to "Note"; a main bundle named "Quillmere"; the error hook and the log
// captured; the stack cleaned up after each test.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"
#include "coredata/StackCategories.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/TempDir.h"

namespace foundation {
// Readable Values in test failures.
inline void PrintTo(const Value& value, std::ostream* out) { *out << value.description(); }
}  // namespace foundation

namespace dstest {

using coredata::AttributeType;
using coredata::ManagedObjectPtr;
using foundation::Value;

// Version 2 adds the optional "comment"; version 3 changes "score" from a double to a string,
// which no lightweight migration can do.
inline std::shared_ptr<coredata::ManagedObjectModel> recordModel(int version = 1) {
  auto model = coredata::ManagedObjectModel::create();
  auto record = coredata::EntityDescription::create("Record");
  record->addAttribute("title", AttributeType::String, false);
  record->addAttribute("count", AttributeType::Integer64, false, Value(0));
  record->addAttribute("score", version == 3 ? AttributeType::String : AttributeType::Double);
  record->addAttribute("flag", AttributeType::Boolean, false, Value(false));
  record->addAttribute("when", AttributeType::Date);
  if (version == 2) record->addAttribute("comment", AttributeType::String);
  record->addRelationship("notes", "Note", true, "record");
  auto note = coredata::EntityDescription::create("Note");
  note->addAttribute("text", AttributeType::String);
  note->addRelationship("record", "Record", false, "notes");
  model->addEntity(record);
  model->addEntity(note);
  return model;
}

// Collects what the layer logs and what reaches the error hook, from any thread.
class Capture {
 public:
  void line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
  }
  void error(const foundation::Error& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(error);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<foundation::Error> errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  // How many logged lines contain `text`.
  int count(const std::string& text) const {
    int n = 0;
    for (const auto& l : lines()) n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<foundation::Error> errors_;
};

class DataStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
        dir.path(), dir.path(), foundation::Dictionary{{foundation::kCFBundleNameKey, Value("Quillmere")}}));
    DSManagedObjectModel::DS_setDefaultManagedObjectModel(recordModel());
    foundation::setLogSink([capture = capture](const std::string& line) { capture->line(line); });
  }

  void TearDown() override {
    DataStack::cleanUp();
    foundation::pumpMainUntil([] { return false; }, 0.05);
    DataStack::setShouldDeleteStoreOnModelMismatch(false);
    DataStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(false);
    DataStack::setShouldAutoCreateManagedObjectModel(true);
    DataStack::setLoggingLevel(1);
    foundation::setLogSink({});
    foundation::Bundle::setMainBundleForTesting(nullptr);
  }

  // Tears the stack down (which also empties the model slot) and installs the model again.
  void cleanUpKeepingModel() {
    DataStack::cleanUp();
    DSManagedObjectModel::DS_setDefaultManagedObjectModel(recordModel());
  }

  // Routes handleErrors into `capture` (the hook is cleared by cleanUp).
  void hookErrors() {
    DataStack::setErrorHandlerTarget(hookTarget, [capture = capture](const std::shared_ptr<void>&,
                                                                     const foundation::Error& error) {
      capture->error(error);
    });
  }

  StoreURL storeURL(const std::string& name = "store.sqlite") const {
    return StoreURL::fileURLWithPath(dir.file(name));
  }

  test::TempDir dir{"qm-datastack"};
  std::shared_ptr<Capture> capture = std::make_shared<Capture>();
  std::shared_ptr<int> hookTarget = std::make_shared<int>(0);
};

// Inserts a Record titled `title` into `context` (call inside its queue).
inline ManagedObjectPtr insertRecord(const DSContextPtr& context, const std::string& title, long long count = 0) {
  auto record = coredata::ManagedObject::insertNewObjectForEntityForName("Record", context);
  record->setValueForKey(Value(title), "title");
  record->setValueForKey(Value(count), "count");
  return record;
}

// Every Record of the store, read through a fresh root context of `coordinator`, sorted by title.
inline std::vector<std::string> storedTitles(const DSCoordinatorPtr& coordinator) {
  auto context = coredata::ManagedObjectContext::create(coredata::ConcurrencyType::PrivateQueue);
  context->setPersistentStoreCoordinator(coordinator);
  std::vector<std::string> titles;
  context->performAndWait([&] {
    coredata::FetchRequest request("Record");
    request.setSortDescriptors({coredata::SortDescriptor("title")});
    foundation::Error error;
    if (auto objects = context->fetchObjects(request, &error)) {
      for (const auto& o : *objects) titles.push_back(o->valueForKey("title").stringValue());
    }
  });
  return titles;
}

// Runs the main run loop until `condition` holds (5 s at most).
inline bool pumpUntil(const std::function<bool()>& condition) { return foundation::pumpMainUntil(condition, 5.0); }

}  // namespace dstest
