#pragma once
// Small models and helpers shared by the Core Data stand-in's tests.
#include <memory>
#include <ostream>
#include <string>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStoreCoordinator.h"

namespace foundation {
// Readable Values in test failures.
inline void PrintTo(const Value& value, std::ostream* out) { *out << value.description(); }
}  // namespace foundation

namespace cdtest {

using namespace coredata;
using foundation::Value;

// "Item": a hostfile-like record. With `version` 2 it gains an optional "note", a defaulted
// mandatory "rank" and a new entity "Tag", and loses "legacy".
inline std::shared_ptr<ManagedObjectModel> itemModel(int version = 1) {
  auto model = ManagedObjectModel::create();
  auto item = EntityDescription::create("Item");
  item->addAttribute("title", AttributeType::String);
  item->addAttribute("contents", AttributeType::String);
  item->addAttribute("isEnabled", AttributeType::Boolean, false, Value(false));
  item->addAttribute("sortOrder", AttributeType::Integer64, false, Value(0));
  item->addAttribute("score", AttributeType::Double);
  item->addAttribute("when", AttributeType::Date);
  item->addAttribute("blob", AttributeType::BinaryData);
  if (version == 1) item->addAttribute("legacy", AttributeType::String);
  if (version == 2) {
    item->addAttribute("note", AttributeType::String);
    item->addAttribute("rank", AttributeType::Integer32, false, Value(7));
  }
  model->addEntity(item);
  if (version == 2) {
    auto tag = EntityDescription::create("Tag");
    tag->addAttribute("name", AttributeType::String);
    model->addEntity(tag);
  }
  return model;
}

// "Folder" with a to-many "items" whose inverse is the to-one "folder" of "Entry".
inline std::shared_ptr<ManagedObjectModel> folderModel() {
  auto model = ManagedObjectModel::create();
  auto folder = EntityDescription::create("Folder");
  folder->addAttribute("name", AttributeType::String);
  folder->addRelationship("items", "Entry", true, "folder");
  auto entry = EntityDescription::create("Entry");
  entry->addAttribute("name", AttributeType::String);
  entry->addRelationship("folder", "Folder", false, "items");
  model->addEntity(folder);
  model->addEntity(entry);
  return model;
}

inline foundation::Dictionary walOptions() {
  return foundation::Dictionary{{kSQLitePragmasOption, Value(foundation::Dictionary{{"journal_mode", Value("WAL")}})}};
}

inline foundation::Dictionary migrationOptions() {
  foundation::Dictionary options = walOptions();
  options.set(kMigratePersistentStoresAutomaticallyOption, true);
  options.set(kInferMappingModelAutomaticallyOption, true);
  return options;
}

// A coordinator over `model` with the SQLite store at `path`; fails the test when it cannot add it.
inline std::shared_ptr<PersistentStoreCoordinator> sqliteCoordinator(std::shared_ptr<ManagedObjectModel> model,
                                                                     const std::string& path,
                                                                     const foundation::Dictionary& options = walOptions(),
                                                                     foundation::Error* error = nullptr) {
  auto coordinator = PersistentStoreCoordinator::create(std::move(model));
  foundation::Error local;
  if (!coordinator->addPersistentStore(kSQLiteStoreType, "", path, options, error ? error : &local)) return nullptr;
  return coordinator;
}

inline std::shared_ptr<ManagedObjectContext> rootContext(const std::shared_ptr<PersistentStoreCoordinator>& coordinator) {
  auto context = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
  context->setPersistentStoreCoordinator(coordinator);
  return context;
}

inline std::shared_ptr<ManagedObjectContext> childOf(const std::shared_ptr<ManagedObjectContext>& parent,
                                                     ConcurrencyType type = ConcurrencyType::PrivateQueue) {
  auto context = ManagedObjectContext::create(type);
  context->setParentContext(parent);
  return context;
}

inline ManagedObjectPtr insertItem(const std::shared_ptr<ManagedObjectContext>& context, const std::string& title,
                                   long long sortOrder = 0) {
  auto item = ManagedObject::insertNewObjectForEntityForName("Item", context);
  item->setValueForKey(Value(title), "title");
  item->setValueForKey(Value(sortOrder), "sortOrder");
  return item;
}

inline std::vector<std::string> titles(const std::vector<ManagedObjectPtr>& objects) {
  std::vector<std::string> result;
  for (const auto& o : objects) result.push_back(o->valueForKey("title").stringValue());
  return result;
}

// Every Item of the context, sorted by title; empty on failure (the test sees the count).
inline std::vector<ManagedObjectPtr> allItems(const std::shared_ptr<ManagedObjectContext>& context,
                                              foundation::Error* error = nullptr) {
  FetchRequest request("Item");
  request.setSortDescriptors({SortDescriptor("title")});
  auto result = context->fetchObjects(request, error);
  return result ? *result : std::vector<ManagedObjectPtr>{};
}

}  // namespace cdtest
