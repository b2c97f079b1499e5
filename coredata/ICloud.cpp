#include "coredata/ICloud.h"

#include <atomic>
#include <map>
#include <mutex>

#include "coredata/DataStackLog.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"

using coredata::ConcurrencyType;
using foundation::Dictionary;
using foundation::Notification;
using foundation::NotificationCenter;
using foundation::Value;

namespace {

std::mutex gFlagMutex;
std::atomic<bool> gICloudEnabled{false};

// The cloud observations of one context, kept in its user info so that they end with it.
class CloudObservations : public foundation::Object {
 public:
  ~CloudObservations() override {
    for (const auto& entry : tokens_) NotificationCenter::defaultCenter().removeObserver(entry.second);
  }
  void replace(const void* coordinator, NotificationCenter::ObserverToken token) {
    remove(coordinator);
    std::lock_guard<std::mutex> lock(mutex_);
    tokens_[coordinator] = token;
  }
  void remove(const void* coordinator) {
    NotificationCenter::ObserverToken token = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = tokens_.find(coordinator);
      if (found == tokens_.end()) return;
      token = found->second;
      tokens_.erase(found);
    }
    NotificationCenter::defaultCenter().removeObserver(token);
  }

 private:
  std::mutex mutex_;
  std::map<const void*, NotificationCenter::ObserverToken> tokens_;
};

constexpr const char* kCloudObservationsKey = "DataStackICloudObservations";

void inQueue(const DSContextPtr& context, const std::function<void()>& work) {
  if (context->concurrencyType() == ConcurrencyType::MainQueue && dispatch::Queue::isMainThread()) {
    work();
    return;
  }
  context->performAndWait(work);
}

std::shared_ptr<CloudObservations> observationsOf(const DSContextPtr& context) {
  std::shared_ptr<CloudObservations> observations;
  inQueue(context, [&] {
    Dictionary& info = context->userInfo();
    observations = info.get(kCloudObservationsKey).objectAs<CloudObservations>();
    if (observations) return;
    observations = std::make_shared<CloudObservations>();
    info.set(kCloudObservationsKey, Value(std::static_pointer_cast<foundation::Object>(observations)));
  });
  return observations;
}

std::string mainBundleIdentifier() {
  const auto bundle = foundation::Bundle::mainBundle();
  return bundle ? bundle->bundleIdentifier().value_or(std::string()) : std::string();
}

Dictionary cloudOptions(const StoreURL& containerURL, const std::string& contentNameKey) {
  Dictionary options = DSPersistentStoreCoordinator::DS_autoMigrationOptions();
  options.set(kPersistentStoreUbiquitousContentURLKey, Value(containerURL.absoluteString()));
  if (!contentNameKey.empty()) options.set(kPersistentStoreUbiquitousContentNameKey, Value(contentNameKey));
  return options;
}

void setUp(const std::string& containerID, const std::string& contentNameKey, const DSStoreNameOrURL& store,
           const std::string& pathComponent, DSCompletion completion) {
  DSCoordinatorPtr coordinator = DSPersistentStoreCoordinatorICloud::DS_coordinatorWithiCloudContainerID(
      containerID, contentNameKey, store, pathComponent, std::move(completion));
  DSPersistentStoreCoordinator::DS_setDefaultStoreCoordinator(coordinator);
  DSManagedObjectContext::DS_initializeDefaultContextWithCoordinator(coordinator);
}

}  // namespace

// --- Flag and set-up -----------------------------------------------------------------------------

bool DataStackICloud::isICloudEnabled() { return gICloudEnabled.load(std::memory_order_relaxed); }

void DataStackICloud::setICloudEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(gFlagMutex);
  gICloudEnabled.store(enabled, std::memory_order_relaxed);
}

void DataStackICloud::setupCoreDataStackWithiCloudContainer(const std::string& containerID,
                                                            const std::string& localStoreName) {
  setupCoreDataStackWithiCloudContainer(containerID, std::string(), localStoreName, std::string());
}

void DataStackICloud::setupCoreDataStackWithiCloudContainer(const std::string& containerID,
                                                            const std::string& contentNameKey,
                                                            const std::string& localStoreName,
                                                            const std::string& cloudStorePathComponent,
                                                            DSCompletion completion) {
  setUp(containerID, contentNameKey, localStoreName, cloudStorePathComponent, std::move(completion));
}

void DataStackICloud::setupCoreDataStackWithiCloudContainer(const std::string& containerID,
                                                            const StoreURL& localStoreURL) {
  setupCoreDataStackWithiCloudContainer(containerID, mainBundleIdentifier(), localStoreURL, std::string());
}

void DataStackICloud::setupCoreDataStackWithiCloudContainer(const std::string& containerID,
                                                            const std::string& contentNameKey,
                                                            const StoreURL& localStoreURL,
                                                            const std::string& cloudStorePathComponent,
                                                            DSCompletion completion) {
  setUp(containerID, contentNameKey, localStoreURL, cloudStorePathComponent, std::move(completion));
}

// --- Coordinator -----------------------------------------------------------------------------------

DSCoordinatorPtr DSPersistentStoreCoordinatorICloud::DS_coordinatorWithiCloudContainerID(
    const std::string& containerID, const std::string& contentNameKey, const DSStoreNameOrURL& localStore,
    const std::string& cloudStorePathComponent, DSCompletion completion) {
  const DSModelPtr model = DSManagedObjectModel::DS_defaultManagedObjectModel();
  if (!model) {
    DataStack::handleErrors(foundation::Error("DataStack", 0, Dictionary{{"NSLocalizedDescription",
                                                                          Value("No default managed object model")}}));
    return nullptr;
  }
  DSCoordinatorPtr coordinator = coredata::PersistentStoreCoordinator::create(model);
  DS_addiCloudContainerID(coordinator, containerID, contentNameKey, localStore, cloudStorePathComponent,
                          std::move(completion));
  return coordinator;
}

void DSPersistentStoreCoordinatorICloud::DS_addiCloudContainerID(const DSCoordinatorPtr& coordinator,
                                                                 const std::string& containerID,
                                                                 const std::string& contentNameKey,
                                                                 const DSStoreNameOrURL& storeIdentifier,
                                                                 const std::string& cloudStorePathComponent,
                                                                 DSCompletion completion) {
  if (!coordinator) return;
  dispatch::Queue::global()->async([=] {
    std::optional<StoreURL> containerURL = DSPersistentStoreICloud::DS_cloudURLForUbiquitousContainer(containerID);
    if (containerURL && !cloudStorePathComponent.empty()) {
      containerURL = StoreURL::fileURLWithPath(containerURL->path() + "/" + cloudStorePathComponent);
    }
    DataStackICloud::setICloudEnabled(containerURL.has_value());
    Dictionary options = DSPersistentStoreCoordinator::DS_autoMigrationOptions();
    if (containerURL) {
      options = cloudOptions(*containerURL, contentNameKey);
    } else {
      dslog::log(dslog::kWarning, "iCloud is not enabled");
    }
    coordinator->performBlockAndWait(
        [&] { DSPersistentStoreCoordinator::DS_addSqliteStoreNamed(coordinator, storeIdentifier, options); });
    dispatch::mainQueue()->async([coordinator, completion] {
      if (!DSPersistentStore::DS_defaultPersistentStore()) {
        const auto stores = coordinator->persistentStores();
        if (!stores.empty()) DSPersistentStore::DS_setDefaultPersistentStore(stores.front());
      }
      if (completion) completion();
      NotificationCenter::defaultCenter().post(kDataStackPSCDidCompleteiCloudSetupNotification);
    });
  });
}

// --- Store -----------------------------------------------------------------------------------------

std::optional<StoreURL> DSPersistentStoreICloud::DS_cloudURLForUbiquitousContainer(const std::string&) {
  return std::nullopt;
}

// --- Contexts --------------------------------------------------------------------------------------

void DSManagedObjectContextICloud::DS_observeiCloudChangesInCoordinator(const DSContextPtr& context,
                                                                        const DSCoordinatorPtr& coordinator) {
  if (!DataStackICloud::isICloudEnabled() || !context || !coordinator) return;
  std::weak_ptr<coredata::ManagedObjectContext> weak = context;
  const auto token = NotificationCenter::defaultCenter().addObserver(
      kPersistentStoreDidImportUbiquitousContentChangesNotification,
      static_cast<const foundation::Object*>(coordinator.get()), nullptr, [weak](const Notification& notification) {
        if (auto strong = weak.lock()) DS_mergeChangesFromiCloud(strong, notification);
      });
  observationsOf(context)->replace(static_cast<const foundation::Object*>(coordinator.get()), token);
}

void DSManagedObjectContextICloud::DS_stopObservingiCloudChangesInCoordinator(const DSContextPtr& context,
                                                                              const DSCoordinatorPtr& coordinator) {
  if (!DataStackICloud::isICloudEnabled() || !context || !coordinator) return;
  observationsOf(context)->remove(static_cast<const foundation::Object*>(coordinator.get()));
}

void DSManagedObjectContextICloud::DS_mergeChangesFromiCloud(const DSContextPtr& context,
                                                             const Notification& notification) {
  std::weak_ptr<coredata::ManagedObjectContext> weak = context;
  context->perform([weak, notification] {
    auto strong = weak.lock();
    if (!strong) return;
    dslog::log(dslog::kVerbose, "Merging changes From iCloud %@context%@",
               strong == DSManagedObjectContext::DS_defaultContext() ? "*** DEFAULT *** " : "",
               dispatch::Queue::isMainThread() ? " *** on Main Thread ***" : "");
    strong->mergeChangesFromContextDidSaveNotification(notification);
    NotificationCenter::defaultCenter().post(
        Notification(kDataStackDidMergeChangesFromiCloudNotification, strong, notification.userInfo()));
  });
}
