#pragma once
// QMTableView is the list of hostfiles: a list view that pops up a context menu on a press with
// Control held or a right-click (the blank-area menu below the rows and on the preview row, the
// hostfile menu on any other row), and starts renaming when the already selected row is pressed
// again. Row 0 is always the preview row, which is never renamed.
//
// Main thread only. The menus are owned by whoever sets them.
#include <QListView>

class QMenu;

namespace app {

class QMTableView : public QListView {
  Q_OBJECT

 public:
  explicit QMTableView(QWidget* parent = nullptr);

  void setMenuForGroup(QMenu* menu) { menuForGroup_ = menu; }
  void setMenuForBlank(QMenu* menu) { menuForBlank_ = menu; }
  QMenu* menuForGroup() const { return menuForGroup_; }
  QMenu* menuForBlank() const { return menuForBlank_; }

  // The context menu for a press at `position` (viewport coordinates): selects the row under it
  // alone, and returns the menu that belongs there (null when none is set). The blank area
  // changes no selection. Exposed so the choice can be checked without popping anything up.
  QMenu* contextMenuAt(const QPoint& position);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void popUpContextMenu(const QPoint& position);

  QMenu* menuForGroup_ = nullptr;
  QMenu* menuForBlank_ = nullptr;
};

}  // namespace app
