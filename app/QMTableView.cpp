#include "app/QMTableView.h"

#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMouseEvent>

namespace app {

QMTableView::QMTableView(QWidget* parent) : QListView(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  // A press on the row already selected starts the rename; the preview row refuses the edit
  // through its item flags.
  setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
  setContextMenuPolicy(Qt::DefaultContextMenu);
}

QMenu* QMTableView::contextMenuAt(const QPoint& position) {
  const QModelIndex index = indexAt(position);
  if (!index.isValid()) return menuForBlank_;
  if (selectionModel()) {
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  return index.row() == 0 ? menuForBlank_ : menuForGroup_;
}

void QMTableView::mousePressEvent(QMouseEvent* event) {
  // Control alone counts; with Shift, Alt or Meta added the press is an ordinary one.
  const bool controlAlone = event->modifiers() == Qt::ControlModifier && event->button() == Qt::LeftButton;
  if (controlAlone) {
    popUpContextMenu(event->position().toPoint());
    event->accept();
    return;
  }
  QListView::mousePressEvent(event);
}

void QMTableView::contextMenuEvent(QContextMenuEvent* event) {
  popUpContextMenu(event->pos());
  event->accept();
}

void QMTableView::popUpContextMenu(const QPoint& position) {
  QMenu* menu = contextMenuAt(position);
  if (menu) menu->popup(viewport()->mapToGlobal(position));
}

}  // namespace app
