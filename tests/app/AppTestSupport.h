#pragma once
// What the application tests share: the offscreen Qt application, a stand-in hostfile record
// for the list (the "HostGroup" entity with its stored attributes, and derived keys that follow
// the record's rules closely enough for the windows: prettyName is the title, contentsProxy is the
// contents, writing contents of a titled record marks it dirty and posts "NOTE_CHANGE"), and a
// pump that runs Qt's loop and the main queue until a condition holds.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtGlobal>

#include <functional>
#include <set>
#include <string>

#include "coredata/DataStack.h"
#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

namespace test {

inline QApplication& qtApplication() {
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs Qt's events and the main queue until `condition` holds or `seconds` pass; returns it.
inline bool pumpUntil(const std::function<bool()>& condition, double seconds = 5.0) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > seconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    foundation::RunLoop::main().processPending();
  }
  return true;
}

// The set of titles of records that were edited: the stand-in of the change tracker's dirty set.
inline std::set<std::string>& dirtyTitles() {
  static std::set<std::string> titles;
  return titles;
}

class FixtureHostGroup : public coredata::ManagedObject {
 public:
  foundation::Value valueForKey(const std::string& key) const override {
    if (key == "prettyName") return ManagedObject::valueForKey("title");
    if (key == "contentsProxy") return ManagedObject::valueForKey("contents");
    if (key == "isDirty") return dirtyTitles().count(ManagedObject::valueForKey("title").stringValue()) > 0;
    if (key == "statusMessage") {
      if (ManagedObject::valueForKey("isEtcHostsPreview").boolValue()) return std::string("preview");
      return dirtyTitles().size() == 1 ? std::string("One hostfile has an unsaved change.")
                                        : std::string("You have no unsaved changes.");
    }
    return ManagedObject::valueForKey(key);
  }
  bool hasKey(const std::string& key) const override {
    return key == "prettyName" || key == "contentsProxy" || key == "isDirty" || key == "statusMessage" ||
           ManagedObject::hasKey(key);
  }
  bool setValueForKey(const foundation::Value& value, const std::string& key) override {
    const std::string stored = key == "contentsProxy" ? "contents" : key == "prettyName" ? "title" : key;
    const bool done = ManagedObject::setValueForKey(value, stored);
    const foundation::Value title = ManagedObject::valueForKey("title");
    if (done && stored == "contents" && title.isString()) {
      dirtyTitles().insert(title.stringValue());
      foundation::NotificationCenter::defaultCenter().post("NOTE_CHANGE");
    }
    return done;
  }
};

// Registers the stand-in "HostGroup" model as the main bundle's model. Call before any set-up.
inline void registerHostGroupModel() {
  using coredata::AttributeType;
  auto entity = coredata::EntityDescription::create("HostGroup");
  entity->setManagedObjectClassName("HostGroup");
  for (const char* name : {"title", "contents", "guid", "remoteURL"}) entity->addAttribute(name, AttributeType::String);
  for (const char* name : {"isEnabled", "isEditable", "isRemote", "isEtcHostsPreview"}) {
    entity->addAttribute(name, AttributeType::Boolean);
  }
  entity->addAttribute("sortOrder", AttributeType::Integer64);
  auto model = coredata::ManagedObjectModel::create();
  model->addEntity(entity);
  coredata::ManagedObjectModel::registerBundleModel("Quillmere.momd", model);
  coredata::ManagedObject::registerEntityClass("HostGroup", [] { return std::make_shared<FixtureHostGroup>(); });
}

}  // namespace test
