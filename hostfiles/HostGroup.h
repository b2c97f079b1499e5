#pragma once
// HostGroup is the record of one hostfile: a named piece of hosts-file text that is kept locally,
// downloaded from a URL, or shown as the read-only preview of the hosts file to come. It is the
// managed-object class of the entity "HostGroup" (see HostfilesModel) and reports every edit of
// its own text to ChangeTracker.
//
// Records live in the main-queue default context and are used on the main thread only. An edit
// of "contents" that arrives on another thread (a merge pushed from a background context) is
// passed to ChangeTracker on the main queue.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/coredata/FetchRequest.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"

class HostGroup : public coredata::ManagedObject {
 public:
  static constexpr const char* kEntityName = "HostGroup";
  static constexpr const char* kClassName = "Quillmere.HostGroup";

  // The keys of the stored attributes, for the model, fetches and key-value coding.
  static constexpr const char* kTitleKey = "title";
  static constexpr const char* kContentsKey = "contents";
  static constexpr const char* kGuidKey = "guid";
  static constexpr const char* kIsEnabledKey = "isEnabled";
  static constexpr const char* kIsEditableKey = "isEditable";
  static constexpr const char* kIsRemoteKey = "isRemote";
  static constexpr const char* kIsEtcHostsPreviewKey = "isEtcHostsPreview";
  static constexpr const char* kRemoteURLKey = "remoteURL";
  static constexpr const char* kSortOrderKey = "sortOrder";
  // The derived keys the class answers itself (see valueForKey).
  static constexpr const char* kIsDirtyKey = "isDirty";
  static constexpr const char* kPrettyNameKey = "prettyName";
  static constexpr const char* kContentsProxyKey = "contentsProxy";
  static constexpr const char* kStatusMessageKey = "statusMessage";
  static constexpr const char* kIsValidSyntaxKey = "isValidSyntax";

  // Posted on the default notification centre, with no object, after a hostfile's title was saved.
  static constexpr const char* kHostNameChangedNotification = "NOTE_HOST_NAME_CHANGED";
  // The fixed status line of the preview row.
  static constexpr const char* kPreviewStatusMessage =
      "This is a preview of what your /etc/hosts file will look like when you apply your changes.";
  // The address a new remote hostfile starts with, for the user to replace.
  static constexpr const char* kPlaceholderRemoteURL = "https://example.com/hosts";

  HostGroup() = default;
  // Ends the observation of "contents" that insert or fetch began.
  ~HostGroup() override;

  // A new fetch request for the entity "HostGroup", with no predicate and no sort order.
  static coredata::FetchRequest fetchRequest();

  // The three kinds of record the application creates, inserted into `context` (call inside its
  // queue) with every attribute set, contents first and title last, so creating one does not mark
  // it dirty. Null when the context's model lacks the entity.
  static std::shared_ptr<HostGroup> insertLocalHostfile(const coredata::ManagedObjectContextPtr& context);
  static std::shared_ptr<HostGroup> insertRemoteHostfile(const coredata::ManagedObjectContextPtr& context);
  static std::shared_ptr<HostGroup> insertPreviewRow(const coredata::ManagedObjectContextPtr& context);
  // A local hostfile as above, titled `title` and holding `contents` (an imported file), also clean.
  static std::shared_ptr<HostGroup> insertLocalHostfile(const coredata::ManagedObjectContextPtr& context,
                                                        const std::string& title, const std::string& contents);

  // --- Stored attributes (absent optional strings read as nullopt; setting nullopt clears) ------
  std::optional<std::string> title() const;
  void setTitle(const std::optional<std::string>& title);
  std::optional<std::string> contents() const;
  void setContents(const std::optional<std::string>& contents);
  std::optional<std::string> guid() const;
  void setGuid(const std::optional<std::string>& guid);
  std::optional<std::string> remoteURL() const;
  void setRemoteURL(const std::optional<std::string>& remoteURL);
  bool isEnabled() const;
  void setIsEnabled(bool value);
  bool isEditable() const;
  void setIsEditable(bool value);
  bool isRemote() const;
  void setIsRemote(bool value);
  bool isEtcHostsPreview() const;
  void setIsEtcHostsPreview(bool value);
  std::int64_t sortOrder() const;
  void setSortOrder(std::int64_t value);

  // --- Derived values (not stored) ------------------------------------------------------------
  // Whether ChangeTracker's dirtyHostGroups holds a record with this record's guid (two absent
  // guids count as equal). Fetches every remembered record on each call; main thread.
  bool isDirty() const;
  // title, and setting it sets title.
  std::optional<std::string> prettyName() const { return title(); }
  void setPrettyName(const std::optional<std::string>& name) { setTitle(name); }
  // For the preview row the compiled hosts text (Compiler::compile(), nothing when it fails),
  // else contents. Compiles afresh on every read of the preview row; main thread.
  std::optional<std::string> contentsProxy() const;
  // Writes contents.
  void setContentsProxy(const std::optional<std::string>& text) { setContents(text); }
  // kPreviewStatusMessage for the preview row, else ChangeTracker's statusString. Main thread.
  std::string statusMessage() const;
  // The syntax check of contents (SyntaxRules); true when contents is absent.
  bool isValidSyntax() const;

  // --- Key-value coding of the derived keys (isDirty, prettyName, contentsProxy, statusMessage,
  // isValidSyntax), for bindings; everything else goes to the base class ----------------------
  foundation::Value valueForKey(const std::string& key) const override;
  bool hasKey(const std::string& key) const override;
  bool setValueForKey(const foundation::Value& value, const std::string& key) override;

  // --- Lifecycle ------------------------------------------------------------------------------
  // Gives the record a new upper-case UUID guid and starts observing "contents".
  void awakeFromInsert() override;
  // Gives a new guid only when guid is absent or empty, and starts observing "contents" unless
  // this instance already does (a record fetched again is observed once, so one edit marks once).
  void awakeFromFetch() override;

  // The observation handler: for "contents" (compared exactly; other key paths are ignored), a
  // record with both a title and a guid is marked dirty in ChangeTracker.
  void observeValueForKeyPath(const std::string& keyPath);

 private:
  void startObservingContents();
  std::optional<std::string> optionalString(const std::string& key) const;
  void setOptionalString(const std::optional<std::string>& value, const std::string& key);

  ObserverToken contentsObservation_ = 0;
};
