#pragma once
// The cloud store set-up: an alternative stack whose SQLite store would be mirrored through the
// platform's ubiquitous-content storage, and the context side that merges changes imported from
// it. This system has no ubiquity container, so the container query answers none and the store is
// always added locally with the auto-migration options, the iCloud flag staying false. The
// interfaces, the asynchronous add, the completion notification and the merge path for imported
// changes still work as they would with a container, so that a posted import notification is
// merged like a real one.
//
// Threads: set-up belongs on the main thread; the store is added on the default global queue and
// the completion and "kDataStackPSCDidCompleteiCloudSetupNotification" follow on the main queue.
// The flag is written under a lock and read without one.
#include <functional>
#include <optional>
#include <string>

#include "coredata/ContextCategories.h"
#include "coredata/StackCategories.h"
#include "coredata/StoreURL.h"
#include "platform/foundation/NotificationCenter.h"

// Posted with no object on the main queue once the cloud store set-up has added its store.
inline constexpr const char* kDataStackPSCDidCompleteiCloudSetupNotification =
    "kDataStackPSCDidCompleteiCloudSetupNotification";
// Posted with the merging context as object after it merged imported cloud changes.
inline constexpr const char* kDataStackDidMergeChangesFromiCloudNotification =
    "kDataStackDidMergeChangesFromiCloudNotification";
// Posted by a coordinator (as sender) with the changes imported from the cloud, in the user-info
// form of a did-save notification.
inline constexpr const char* kPersistentStoreDidImportUbiquitousContentChangesNotification =
    "NSPersistentStoreDidImportUbiquitousContentChangesNotification";
// Store option keys of a cloud store.
inline constexpr const char* kPersistentStoreUbiquitousContentURLKey = "NSPersistentStoreUbiquitousContentURLKey";
inline constexpr const char* kPersistentStoreUbiquitousContentNameKey = "NSPersistentStoreUbiquitousContentNameKey";

using DSCompletion = std::function<void()>;

// The iCloud category of DataStack.
struct DataStackICloud {
  // The process-wide flag, initially false; set-up sets it to whether a container was found.
  static bool isICloudEnabled();
  static void setICloudEnabled(bool enabled);

  // Makes the coordinator (its store is added in the background), installs it as the default and
  // makes the contexts. Unlike the local set-ups it does not check for an existing coordinator.
  // Main thread.
  static void setupCoreDataStackWithiCloudContainer(const std::string& containerID, const std::string& localStoreName);
  static void setupCoreDataStackWithiCloudContainer(const std::string& containerID, const std::string& contentNameKey,
                                                    const std::string& localStoreName,
                                                    const std::string& cloudStorePathComponent,
                                                    DSCompletion completion = {});
  // The URL forms; the short one uses the main bundle's identifier as content name key.
  static void setupCoreDataStackWithiCloudContainer(const std::string& containerID, const StoreURL& localStoreURL);
  static void setupCoreDataStackWithiCloudContainer(const std::string& containerID, const std::string& contentNameKey,
                                                    const StoreURL& localStoreURL,
                                                    const std::string& cloudStorePathComponent,
                                                    DSCompletion completion = {});
};

// The iCloud operations of the coordinator category.
struct DSPersistentStoreCoordinatorICloud {
  // A new coordinator over the default model, returned at once; its store is added as
  // DS_addiCloudContainerID does. Null without a default model (reported).
  static DSCoordinatorPtr DS_coordinatorWithiCloudContainerID(const std::string& containerID,
                                                              const std::string& contentNameKey,
                                                              const DSStoreNameOrURL& localStore,
                                                              const std::string& cloudStorePathComponent,
                                                              DSCompletion completion = {});
  // On the default global queue: asks for the container URL (plus the path component), sets the
  // iCloud flag to whether there is one, adds the SQLite store with the cloud or the plain
  // auto-migration options under the coordinator's lock; then on the main queue makes its first
  // store the default when there is none, runs `completion` and posts the set-up notification.
  static void DS_addiCloudContainerID(const DSCoordinatorPtr& coordinator, const std::string& containerID,
                                      const std::string& contentNameKey, const DSStoreNameOrURL& storeIdentifier,
                                      const std::string& cloudStorePathComponent, DSCompletion completion = {});
};

// The iCloud operation of the store category.
struct DSPersistentStoreICloud {
  // The ubiquity container URL for the identifier; always nothing here, as no file manager of
  // this system offers that query.
  static std::optional<StoreURL> DS_cloudURLForUbiquitousContainer(const std::string& containerID);
  // The older, misspelt name.
  static std::optional<StoreURL> DS_cloudURLForUbiqutiousContainer(const std::string& containerID) {
    return DS_cloudURLForUbiquitousContainer(containerID);
  }
};

// The iCloud operations of the context category.
struct DSManagedObjectContextICloud {
  // Only while the iCloud flag is set: starts (stops) merging the coordinator's imported-changes
  // notifications into `context` with DS_mergeChangesFromiCloud. The observation ends with the
  // context at the latest.
  static void DS_observeiCloudChangesInCoordinator(const DSContextPtr& context, const DSCoordinatorPtr& coordinator);
  static void DS_stopObservingiCloudChangesInCoordinator(const DSContextPtr& context,
                                                         const DSCoordinatorPtr& coordinator);
  // Asynchronously in the context's queue: merges the notification's changes and posts
  // "kDataStackDidMergeChangesFromiCloudNotification" with the context and the same user info.
  static void DS_mergeChangesFromiCloud(const DSContextPtr& context, const foundation::Notification& notification);
};
