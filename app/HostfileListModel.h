#pragma once
// HostfileListModel is the list of hostfiles the main window shows: every "HostGroup" record of
// one context, arranged by sortOrder and then by prettyName, so the preview row comes first. It
// knows nothing of widgets. When the records change it inserts and removes rows one by one and
// re-sorts through a layout change, never a reset, so the view keeps its selection and any title
// edit in progress.
//
// Main thread only: the records belong to the main-queue default context.
#include <QAbstractListModel>

#include <vector>

#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"

namespace app {

class HostfileListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  // Extra roles, so that tests and delegates read the row's state without widgets.
  enum Role { IsPreviewRole = Qt::UserRole + 1, IsRemoteRole, IsDirtyRole };

  // A model over the records of `context` (the default context in the application). Empty until
  // refresh().
  explicit HostfileListModel(coredata::ManagedObjectContextPtr context, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // Display and edit: the title. Font: bold for the preview row and for dirty hostfiles. Check
  // state: isEnabled (not for the preview row). Decoration: the remote icon for remote hostfiles.
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // Edit role: renames (saved in the background, then "NOTE_HOST_NAME_CHANGED" is posted,
  // whatever the save's outcome). Check-state role: enables or disables, saved before returning.
  // The preview row takes neither. The title is stored as typed: not trimmed, empty allowed.
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  // The preview row can be selected only; other rows can also be renamed and checked.
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Re-reads the context's records: rows of records gone are removed, rows of new records are
  // inserted, then the list is re-sorted. A failed fetch leaves the list as it was.
  void refresh();
  // Re-sorts by sortOrder then prettyName, moving rows through a layout change so persistent
  // indexes (and thus the selection) follow their records.
  void rearrangeObjects();
  // Tells the views that every row's look may have changed (titles, bold marks, icons).
  void reloadData();

  // The record at `row`, or null out of range.
  coredata::ManagedObjectPtr hostGroupAt(int row) const;
  // The row of the record with the same object identifier as `record`, or -1.
  int rowOf(const coredata::ManagedObjectPtr& record) const;
  const std::vector<coredata::ManagedObjectPtr>& arrangedObjects() const { return rows_; }

 private:
  void removeVanished(const std::vector<coredata::ManagedObjectPtr>& current);
  void appendNew(const std::vector<coredata::ManagedObjectPtr>& current);
  bool setEnabled(const coredata::ManagedObjectPtr& record, bool enabled);
  bool rename(const coredata::ManagedObjectPtr& record, const std::string& title);

  coredata::ManagedObjectContextPtr context_;
  std::vector<coredata::ManagedObjectPtr> rows_;
};

}  // namespace app
