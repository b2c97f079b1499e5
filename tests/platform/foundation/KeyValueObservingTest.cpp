#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/KeyValueObserving.h"

using foundation::KeyValueObserving;
using foundation::Value;

namespace {

// A small observed object with one property, the way model objects use the helper.
class Note {
 public:
  Note() : observing_([this](const std::string& key) { return key == "contents" ? Value(contents_) : Value(); }) {}
  KeyValueObserving& observing() { return observing_; }
  void setContents(const std::string& text) {
    observing_.willChangeValueForKey("contents");
    contents_ = text;
    observing_.didChangeValueForKey("contents");
  }

 private:
  std::string contents_ = "old";
  KeyValueObserving observing_;
};

using Change = std::pair<Value, Value>;

TEST(KeyValueObservingTest, ObserversOfTheKeyGetOldAndNewValues) {
  Note note;
  std::vector<Change> contents, title;
  note.observing().addObserver("contents", [&](const Value& o, const Value& n) { contents.emplace_back(o, n); });
  note.observing().addObserver("title", [&](const Value& o, const Value& n) { title.emplace_back(o, n); });
  EXPECT_TRUE(note.observing().hasObservers("contents"));
  EXPECT_FALSE(note.observing().hasObservers("other"));
  note.setContents("new");
  note.setContents("newer");
  EXPECT_EQ(contents, (std::vector<Change>{{"old", "new"}, {"new", "newer"}}));
  EXPECT_TRUE(title.empty());
}

TEST(KeyValueObservingTest, NestedAnnouncementsPairInnermostFirstAndStrayDidHasNullOld) {
  KeyValueObserving kvo;
  std::vector<Change> seen;
  kvo.addObserver("k", [&](const Value& o, const Value& n) { seen.emplace_back(o, n); });
  kvo.willChangeValueForKey("k", 1);
  kvo.willChangeValueForKey("k", 2);
  kvo.didChangeValueForKey("k", 3);
  kvo.didChangeValueForKey("k", 4);
  kvo.didChangeValueForKey("k", 5);
  EXPECT_EQ(seen, (std::vector<Change>{{2, 3}, {1, 4}, {Value(), 5}}));
}

TEST(KeyValueObservingTest, SetValueNotifyingAppliesBetweenAnnouncementsAndRemovalStopsCalls) {
  KeyValueObserving kvo;
  int stored = 0;
  std::vector<Change> seen;
  auto token = kvo.addObserver("n", [&](const Value& o, const Value& n) {
    EXPECT_EQ(stored, 7) << "called after the value was stored";
    seen.emplace_back(o, n);
  });
  kvo.setValueNotifying("n", 0, 7, [&] { stored = 7; });
  kvo.removeObserver(token);
  kvo.setValueNotifying("n", 7, 8);
  EXPECT_EQ(seen, (std::vector<Change>{{0, 7}}));
}

TEST(KeyValueObservingTest, ObserverMayRemoveItselfWhileCalled) {
  KeyValueObserving kvo;
  int calls = 0;
  KeyValueObserving::ObserverToken token = 0;
  token = kvo.addObserver("k", [&](const Value&, const Value&) {
    ++calls;
    kvo.removeObserver(token);
  });
  kvo.setValueNotifying("k", 1, 2);
  kvo.setValueNotifying("k", 2, 3);
  EXPECT_EQ(calls, 1);
}

}  // namespace
