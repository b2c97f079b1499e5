#pragma once
// ChangeTracker remembers which hostfiles have changes not yet applied to the hosts file: the
// set of their GUIDs, persisted in the user defaults under "dirtyGUIDs" so that it survives
// restarts. Every change of the set posts "NOTE_CHANGE" (no object) on the default notification
// centre and is announced to observers of "statusString". HostGroup adds to the set; only a
// successful Compiler::apply() empties it, of what it applied.
//
// Main thread only, and nothing is locked: HostGroup, the only user besides Compiler::apply(),
// hands an edit merged in on another thread to the main queue. Debug builds check the thread in
// sharedInstance().
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"

class HostGroup;

class ChangeTracker {
 public:
  // The user-defaults key of the persisted set and the notification posted on every change.
  static constexpr const char* kDirtyGUIDsKey = "dirtyGUIDs";
  static constexpr const char* kChangeNotification = "NOTE_CHANGE";

  // The single instance, made (and loaded, see loadChanges) on first use. Main thread.
  static ChangeTracker& sharedInstance();
  // Destroys the shared instance (which saves it) so that the next sharedInstance() loads anew,
  // as a new process would. For tests; references to the old instance dangle afterwards.
  static void resetSharedInstanceForTesting();

  // Loads the set (loadChanges).
  ChangeTracker();
  // Saves the set.
  ~ChangeTracker();
  ChangeTracker(const ChangeTracker&) = delete;
  ChangeTracker& operator=(const ChangeTracker&) = delete;

  // Reads the set from the user defaults, drops each GUID whose lookup succeeded and found no
  // record, and saves the result. A GUID whose lookup failed (no store open yet, a store error) is
  // kept: a store that is not ready must not erase the set. isDirty is then whether the set holds
  // anything.
  void loadChanges();
  // Writes the set under "dirtyGUIDs" and synchronises the user defaults. A failed write stays
  // pending in the defaults, which retry on their own.
  void saveChanges();
  // Adds `guid` (once; marking it again changes nothing but is announced again), announces
  // "statusString", saves when the set grew and posts "NOTE_CHANGE". An absent guid is ignored:
  // nothing is posted.
  void markHostGroupDirty(const std::optional<std::string>& guid);
  // Empties the set, announces "statusString", saves and posts "NOTE_CHANGE".
  void markClean();
  // How many times markHostGroupDirty has marked a hostfile in this process. Read it before
  // reading the texts that are to be applied, and hand it to markCleanUpTo once they are.
  std::uint64_t markCount() const { return markCount_; }
  // markClean, but the hostfiles marked after markCount() gave `count` stay in the set: their
  // latest change is not in what was applied.
  void markCleanUpTo(std::uint64_t count);

  // The first record of each remembered GUID, in the set's order; GUIDs without a record are
  // skipped (not removed). Fetches from the store on every call.
  std::vector<std::shared_ptr<HostGroup>> dirtyHostGroups() const;
  // "You have no unsaved changes.", "One hostfile has an unsaved change." or
  // "<n> hostfiles have unsaved changes.", by the number of GUIDs in the set.
  std::string statusString() const;
  bool isDirty() const { return isDirty_; }
  // The set: GUID -> Boolean true, in the order the GUIDs were first added.
  const foundation::Dictionary& dirtyGUIDs() const { return dirtyGUIDs_; }

  // Key-value observation of "statusString" (old and new text). Main thread.
  foundation::KeyValueObserving::ObserverToken addObserver(const std::string& keyPath,
                                                           foundation::KeyValueObserving::Callback callback);
  void removeObserver(foundation::KeyValueObserving::ObserverToken token);

 private:
  void changed();

  foundation::Dictionary dirtyGUIDs_;
  bool isDirty_ = false;
  std::uint64_t markCount_ = 0;
  // The markCount_ of each GUID's latest mark in this process; a GUID loaded from the defaults
  // has none, as if marked before anything was counted.
  std::unordered_map<std::string, std::uint64_t> lastMarks_;
  foundation::KeyValueObserving observation_;
};
