#include "app/HostfileListModel.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QStyle>

#include <algorithm>

#include "app/HostGroupFields.h"
#include "coredata/DataStack.h"
#include "coredata/ObjectCategories.h"
#include "platform/foundation/NotificationCenter.h"

namespace app {
namespace {

using Fields = HostGroupFields;

bool sameRecord(const coredata::ManagedObjectPtr& a, const coredata::ManagedObjectPtr& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  const auto idA = a->objectID();
  const auto idB = b->objectID();
  return idA && idB && *idA == *idB;
}

bool contains(const std::vector<coredata::ManagedObjectPtr>& list, const coredata::ManagedObjectPtr& record) {
  return std::any_of(list.begin(), list.end(), [&](const auto& other) { return sameRecord(other, record); });
}

bool arrangedBefore(const coredata::ManagedObjectPtr& a, const coredata::ManagedObjectPtr& b) {
  const auto orderA = Fields::sortOrder(*a);
  const auto orderB = Fields::sortOrder(*b);
  if (orderA != orderB) return orderA < orderB;
  return Fields::prettyName(*a) < Fields::prettyName(*b);
}

}  // namespace

HostfileListModel::HostfileListModel(coredata::ManagedObjectContextPtr context, QObject* parent)
    : QAbstractListModel(parent), context_(std::move(context)) {}

int HostfileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant HostfileListModel::data(const QModelIndex& index, int role) const {
  const auto record = hostGroupAt(index.row());
  if (!index.isValid() || !record) return {};
  const bool preview = Fields::isEtcHostsPreview(*record);
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return QString::fromStdString(Fields::title(*record));
    case Qt::FontRole: {
      QFont font = QApplication::font();
      // The preview row is always bold; other rows are bold while they hold unapplied changes.
      font.setBold(preview || Fields::isDirty(*record));
      return font;
    }
    case Qt::CheckStateRole:
      if (preview) return {};
      return Fields::isEnabled(*record) ? Qt::Checked : Qt::Unchecked;
    case Qt::DecorationRole:
      if (preview || !Fields::isRemote(*record)) return {};
      return QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon);
    case IsPreviewRole:
      return preview;
    case IsRemoteRole:
      return Fields::isRemote(*record);
    case IsDirtyRole:
      return Fields::isDirty(*record);
    default:
      return {};
  }
}

bool HostfileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  const auto record = hostGroupAt(index.row());
  if (!index.isValid() || !record || Fields::isEtcHostsPreview(*record)) return false;
  if (role == Qt::CheckStateRole) {
    return setEnabled(record, value.toInt() == Qt::Checked);
  }
  if (role == Qt::EditRole) return rename(record, value.toString().toStdString());
  return false;
}

Qt::ItemFlags HostfileListModel::flags(const QModelIndex& index) const {
  const auto record = hostGroupAt(index.row());
  if (!index.isValid() || !record) return Qt::NoItemFlags;
  const Qt::ItemFlags base = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
  if (Fields::isEtcHostsPreview(*record)) return base;
  return base | Qt::ItemIsEditable | Qt::ItemIsUserCheckable;
}

void HostfileListModel::refresh() {
  if (!context_) return;
  const auto fetched = DSManagedObject::DS_findAll(HostGroup::kEntityName, context_);
  if (!fetched) return;
  std::vector<coredata::ManagedObjectPtr> current;
  for (const auto& record : *fetched) {
    if (record && !record->isDeleted()) current.push_back(record);
  }
  removeVanished(current);
  appendNew(current);
  rearrangeObjects();
}

void HostfileListModel::removeVanished(const std::vector<coredata::ManagedObjectPtr>& current) {
  for (int row = static_cast<int>(rows_.size()) - 1; row >= 0; --row) {
    if (contains(current, rows_[row])) continue;
    beginRemoveRows(QModelIndex(), row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
  }
}

void HostfileListModel::appendNew(const std::vector<coredata::ManagedObjectPtr>& current) {
  for (const auto& record : current) {
    if (contains(rows_, record)) continue;
    const int row = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), row, row);
    rows_.push_back(record);
    endInsertRows();
  }
}

void HostfileListModel::rearrangeObjects() {
  std::vector<coredata::ManagedObjectPtr> sorted = rows_;
  std::stable_sort(sorted.begin(), sorted.end(), arrangedBefore);
  if (sorted != rows_) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    for (const QModelIndex& index : before) {
      const auto it = std::find(sorted.begin(), sorted.end(), rows_[index.row()]);
      after.append(this->index(static_cast<int>(it - sorted.begin()), index.column()));
    }
    rows_ = std::move(sorted);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
  }
  reloadData();
}

void HostfileListModel::reloadData() {
  if (rows_.empty()) return;
  emit dataChanged(index(0), index(static_cast<int>(rows_.size()) - 1));
}

coredata::ManagedObjectPtr HostfileListModel::hostGroupAt(int row) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
  return rows_[row];
}

int HostfileListModel::rowOf(const coredata::ManagedObjectPtr& record) const {
  for (std::size_t row = 0; row < rows_.size(); ++row) {
    if (sameRecord(rows_[row], record)) return static_cast<int>(row);
  }
  return -1;
}

bool HostfileListModel::setEnabled(const coredata::ManagedObjectPtr& record, bool enabled) {
  // Written through a waiting save block, so the store has it before the click is over.
  DataStack::saveWithBlockAndWait([record, enabled](const coredata::ManagedObjectContextPtr& local) {
    const auto mine = DSManagedObject::DS_inContext(record, local);
    if (mine) Fields::setEnabled(*mine, enabled);
  });
  const int row = rowOf(record);
  if (row >= 0) emit dataChanged(index(row), index(row));
  return true;
}

bool HostfileListModel::rename(const coredata::ManagedObjectPtr& record, const std::string& title) {
  DataStack::saveWithBlock(
      [record, title](const coredata::ManagedObjectContextPtr& local) {
        const auto mine = DSManagedObject::DS_inContext(record, local);
        if (mine) Fields::setTitle(*mine, title);
      },
      [](bool, const std::optional<foundation::Error>&) {
        // Posted also after a failed save, so the list re-sorts on whatever the store holds.
        foundation::NotificationCenter::defaultCenter().post(HostGroup::kHostNameChangedNotification);
      });
  return true;
}

}  // namespace app
